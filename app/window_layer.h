#pragma once
// What the dialog logic needs of its window: set and read control texts, drive
// the progress bar, show a message box, run the file-open dialog. A Qt
// implementation serves the program, a recording fake the tests.

#include <cstdint>
#include <string>

#include "base/load_outcome.h"

namespace tamblet {

enum ControlId : int {
  IDC_BROWSE = 1000,
  IDC_FILE_NAME = 1001,
  IDC_LOAD = 1002,
  IDC_PROGRESS = 1007,
  IDC_STATUS = 1012,
  IDC_INPUT_PORT = 1014,
  IDC_OUTPUT_PORT = 1015,
};

class WindowLayer {
 public:
  virtual ~WindowLayer() = default;

  // Replaces the text of a static or edit control at once. May be called from
  // the thread that runs an update; the window shows the texts in call order.
  virtual void SetWindowText(int control, const std::string& text) = 0;
  // The file-name box gives back the bytes it was set to (a path need not be
  // valid UTF-8) until its text is changed by hand.
  virtual std::string GetWindowText(int control) = 0;

  // PBM_SETRANGE, PBM_SETPOS or PBM_DELTAPOS to the progress bar; same threading
  // and ordering as SetWindowText.
  virtual void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) = 0;

  // The step a Load has entered, told before that step's status text. The
  // window shows steps only by their texts; a console counts them.
  virtual void SetStep(LoadStep step) = 0;

  // A text with one OK button; returns when it is closed.
  virtual void MessageBox(const std::string& text) = 0;

  // The file-open dialog: "program files (*.pgm)" selected first, then every
  // file; only existing files; "sdy" appended to a typed name that has no
  // suffix and does not exist as it is. Returns the full path as the system's
  // bytes, or "" after Cancel.
  virtual std::string RunFileOpenDialog() = 0;
};

}  // namespace tamblet
