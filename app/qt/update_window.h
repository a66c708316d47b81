#pragma once
// The main dialog on Qt: the controls of template 102 and the WindowLayer the
// dialog logic talks to. Load runs on a worker thread so that the window stays
// alive during an update; what that thread sets is shown in call order.

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/qt/dialog_units.h"
#include "app/window_layer.h"
#include "base/display.h"
#include "system/sleep_inhibitor.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tamblet {

class QtUpdateWindow : public QDialog, public WindowLayer {
  Q_OBJECT
 public:
  // What the buttons run: Browse on the window's thread, Load on a worker;
  // `stop` asks a running Load to stop and returns at once.
  struct Handlers {
    std::function<void()> browse;
    std::function<void()> load;
    std::function<void()> stop;
  };
  using FileDialogHook = std::function<std::string(QWidget* parent)>;
  using MessageBoxHook = std::function<void(QWidget* parent, const QString& text)>;

  // `inhibitor` null: the login manager on the system bus.
  explicit QtUpdateWindow(std::unique_ptr<SleepInhibitor> inhibitor = nullptr);
  ~QtUpdateWindow() override;

  void SetHandlers(Handlers handlers);
  // Replace the real file-open dialog and message box (tests).
  void SetFileDialogHook(FileDialogHook hook);
  void SetMessageBoxHook(MessageBoxHook hook);

  // Called from any thread. From the worker, texts and progress messages are
  // queued to the window's thread; calls that return a value wait for it.
  void SetWindowText(int control, const std::string& text) override;
  std::string GetWindowText(int control) override;
  void SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) override;
  // The window tells the steps by their status texts alone.
  void SetStep(LoadStep) override {}
  void MessageBox(const std::string& text) override;
  std::string RunFileOpenDialog() override;

  // Before the window is shown: the focus on the first tab stop after a
  // successful discovery, on no control after a failed one (Enter does nothing).
  void PlaceInitialFocus(bool ports_found);
  bool IsRunning() const { return running_; }
  QWidget* Control(int id) const;

  // The real file-open dialog: filters, default suffix, existing files only.
  // Returns the chosen file's path as the bytes the system knows it by.
  static std::string RunQtFileDialog(QWidget* parent);

 public slots:
  void ShowAbout();
  // Escape, the close box and Enter in the file-name box end here. During a
  // run the user is asked whether to stop it; either way the window closes
  // once the run has ended.
  void reject() override;
  // A signal to end (see TerminationSignals): as a close whose stop is
  // confirmed, without the question; boxes over the window close first.
  void CloseOnSignal();

 signals:
  void RunStarted();
  void RunFinished();
  // A control's text has changed on screen (window thread).
  void TextApplied(int control, const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  void OnBrowseClicked();
  void OnLoadClicked();
  void OnRunEnded();
  void ReturnFocus();
  void ApplyText(int control, const std::string& text);
  void ApplyProgress(uint32_t msg, uint32_t wparam, uint32_t lparam);
  // Runs `apply` on the window's thread: at once when called there, else
  // queued after what came before, and with Qt::BlockingQueuedConnection
  // waited for (never from the window's thread, which would deadlock).
  template <typename F>
  void OnWindowThread(F&& apply, Qt::ConnectionType hop = Qt::QueuedConnection);

  DialogBaseUnits base_;
  QPushButton* browse_ = nullptr;
  QLineEdit* file_name_ = nullptr;
  QPushButton* load_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* output_port_ = nullptr;
  QLabel* input_port_ = nullptr;
  // The bar's range and position as the program set them; shown clamped.
  ProgressState progress_state_{0, 100, 0};

  Handlers handlers_;
  FileDialogHook file_dialog_;
  MessageBoxHook message_box_;
  std::unique_ptr<SleepInhibitor> inhibitor_;
  std::thread worker_;
  // The file-name box's text as set, in bytes: a path need not be UTF-8. It
  // stands while the box still shows what it was shown as.
  std::string file_name_bytes_;
  QString file_name_shown_;
  // Window thread only.
  bool running_ = false;
  bool close_pending_ = false;
  bool asking_ = false;
  bool stop_requested_ = false;
};

}  // namespace tamblet
