#include "app/qt/no_display.h"

#include <cstdio>
#include <cstdlib>

namespace tamblet {

NoDisplayCheck::NoDisplayCheck() { previous_ = qInstallMessageHandler(Handle); }

NoDisplayCheck::~NoDisplayCheck() {
  qInstallMessageHandler(previous_);
  for (const Held& held : held_) {
    const QMessageLogContext context(held.file, held.line, held.function, held.category);
    previous_(held.type, context, held.text);
  }
  held_.clear();
}

void NoDisplayCheck::Handle(QtMsgType type, const QMessageLogContext& context,
                            const QString& text) {
  if (type != QtFatalMsg) {
    held_.push_back({type, context.line, context.file, context.function, context.category, text});
    return;
  }
  // Only the platform plugin fails this early, and only for want of a display.
  std::fputs(
      "tamblet: there is no display to open the window on; tamblet-cli runs updates "
      "from a terminal\n",
      stderr);
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace tamblet
