#pragma once
// Tells that the MIDI ports a layer would list may have changed since it was
// last asked: an instrument plugged in or out, a program's ports come or gone.
// A fresh layer then lists what is there now.

namespace tamblet::midi {

class PortWatch {
 public:
  virtual ~PortWatch() = default;
  // True once for the changes seen since the last call; never blocks for long.
  virtual bool Changed() = 0;
};

}  // namespace tamblet::midi
