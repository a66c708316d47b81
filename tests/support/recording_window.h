#pragma once
// A window layer for tests: it keeps every control text, traces status texts,
// message boxes and progress messages in the order they came, and answers the
// file dialog with the path it was given. It is also the display that the
// device commands drive on their own.
//
// The trace, in call order:
//   [text]    the status text became `text`
//   {text}    a message box showed `text`
//    R<max>   the bar's range became 0..max (R<min>..<max> if min is not 0)
//    P<pos>   the bar was set to pos
//    D        the bar moved on one step (D<n>: n steps)
//    ?        any other progress message, or one with a stray parameter
// So " R2 P0[File reading....] P1" is a bar of two steps, empty, then the file
// stage's text, then one step done. Other controls' texts are not traced.

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/window_layer.h"
#include "base/display.h"

namespace tamblet::test {

class RecordingWindow : public WindowLayer, public LoadDisplay {
 public:
  void SetStatusText(const char* text) override { SetWindowText(IDC_STATUS, text); }
  void SetWindowText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_[control] = text;
    if (control == IDC_STATUS) trace_ += "[" + text + "]";
  }
  std::string GetWindowText(int control) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_[control];
  }
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t min = lparam & 0xFFFF;
    if (msg == PBM_SETRANGE && wparam == 0) {
      trace_ += " R" + (min ? std::to_string(min) + ".." : "") + std::to_string(lparam >> 16);
    } else if (msg == PBM_SETPOS && lparam == 0) {
      trace_ += " P" + std::to_string(wparam);
    } else if (msg == PBM_DELTAPOS && lparam == 0) {
      trace_ += " D" + (wparam == 1 ? "" : std::to_string(wparam));
    } else {
      trace_ += " ?";
    }
  }
  void ChangeBar(const BarChange& change) override {
    SendProgressMessage(change.Message(), change.WParam(), change.LParam());
  }
  void SetStep(LoadStep step) override {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(step);
  }
  void MessageBox(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_ += "{" + text + "}";
  }
  std::string RunFileOpenDialog() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(file_dialog_answer_, "");
  }

  // The path the next file dialog returns (after it, and unless set, Cancel: "").
  void AnswerFileDialog(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_dialog_answer_ = path;
  }

  // See the top of this file.
  std::string Trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
  }
  // The steps told, in order; cleared with the trace.
  std::vector<LoadStep> Steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }
  void ClearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
    steps_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::map<int, std::string> texts_;
  std::string trace_;
  std::vector<LoadStep> steps_;
  std::string file_dialog_answer_;
};

}  // namespace tamblet::test
