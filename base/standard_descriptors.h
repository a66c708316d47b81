#pragma once
// A program started with standard input, output or error closed would give
// those numbers to the first files it opens, and then write its lines into them.

namespace tamblet {

// Opens each of descriptors 0-2 that is closed on /dev/null. Call first in main.
void OpenClosedStandardDescriptors();

}  // namespace tamblet
