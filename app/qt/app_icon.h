#pragma once
// The program's icon, drawn from tamblet.svg at 16 x 16 and 32 x 32.

#include <QIcon>

namespace tamblet {

QIcon AppIcon();

}  // namespace tamblet
