#pragma once
// A window layer for tests: it keeps every control text and every progress
// message in the order they came, and answers the file dialog from a script.

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/window_layer.h"
#include "base/display.h"

namespace tamblet::test {

struct ProgressOp {
  uint32_t msg;
  uint32_t wparam;
  uint32_t lparam;
  bool operator==(const ProgressOp&) const = default;
};

// A message box's text takes its place among the events under this id.
inline constexpr int kMessageBoxEvent = -1;

// A text set on a control, or (control == IDC_PROGRESS) a progress message.
struct WindowEvent {
  int control = 0;
  std::string text;
  ProgressOp progress{};
};

class RecordingWindow : public WindowLayer {
 public:
  void SetWindowText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_[control] = text;
    events_.push_back(WindowEvent{control, text, {}});
  }
  std::string GetWindowText(int control) override { return Text(control); }
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(WindowEvent{IDC_PROGRESS, {}, {msg, wparam, lparam}});
  }
  void MessageBox(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(WindowEvent{kMessageBoxEvent, text, {}});
  }
  std::string RunFileOpenDialog() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_dialog_answers_.empty()) return "";
    std::string path = file_dialog_answers_.front();
    file_dialog_answers_.pop_front();
    return path;
  }

  // The path the next file dialog returns ("" is Cancel).
  void AnswerFileDialog(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_dialog_answers_.push_back(path);
  }

  std::string Text(int control) {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_[control];
  }
  std::vector<WindowEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Every text the status line was given, in order.
  std::vector<std::string> StatusTexts() const { return Texts(IDC_STATUS); }
  std::vector<std::string> message_boxes() const { return Texts(kMessageBoxEvent); }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  std::vector<std::string> Texts(int control) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : events_)
      if (e.control == control) out.push_back(e.text);
    return out;
  }

  mutable std::mutex mutex_;
  std::map<int, std::string> texts_;
  std::vector<WindowEvent> events_;
  std::deque<std::string> file_dialog_answers_;
};

}  // namespace tamblet::test
