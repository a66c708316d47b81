#include "app/qt/update_window.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>

#include "app/qt/about_dlg.h"
#include "app/qt/accessible_field.h"
#include "app/qt/app_icon.h"
#include "app/qt/dialog_template.h"
#include "app/qt/update_file_dialog.h"
#include "base/display.h"
#include "system/sleep_inhibitor.h"

namespace tamblet {
namespace {

void Place(QWidget* widget, const TemplateRect& rect, DialogBaseUnits base) {
  const PixelRect px = ToPixels(rect, base);
  widget->setGeometry(px.x, px.y, px.width, px.height);
}

// A static text control: plain text only, so that a port name or a version is
// never taken for markup. A display field gets its accessible role before its
// first text, since the first event fixes the interface Qt keeps for it.
QLabel* MakeStatic(QWidget* parent, const QString& text, Qt::Alignment align, bool edge,
                   QAccessible::Role field = QAccessible::NoRole) {
  auto* label = new QLabel(parent);
  if (field != QAccessible::NoRole) MakeAccessibleField(label, field);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setAlignment(align);
  if (edge) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
    label->setMargin(1);
  }
  return label;
}

// Ties a template label to its field: the field is read out under the label's
// words without the trailing " :", and the label's relation points at it.
void TieLabel(QLabel* label, QWidget* field) {
  label->setBuddy(field);
  QString name = label->text();
  if (name.endsWith(QStringLiteral(" :"))) name.chop(2);
  field->setAccessibleName(name);
}

}  // namespace

QtUpdateWindow::QtUpdateWindow(std::unique_ptr<SleepInhibitor> inhibitor)
    : QDialog(nullptr),
      file_dialog_(&QtUpdateWindow::RunQtFileDialog),
      message_box_([](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Tamblet"), text, QMessageBox::Ok,
                        parent);
        box.setTextFormat(Qt::PlainText);
        box.exec();
      }),
      inhibitor_(inhibitor ? std::move(inhibitor) : std::make_unique<SleepInhibitor>()) {
  setWindowTitle(QStringLiteral("Tamblet"));
  setWindowIcon(AppIcon());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  InstallAccessibleFields();
  base_ = BaseUnitsOf(font());
  setFixedSize(DialogXToPixels(kMainDialogWidth, base_), DialogYToPixels(kMainDialogHeight, base_));
  BuildControls();

  // No system menu here: the About entry lives in the dialog's context menu and on F1.
  auto* about = new QAction(QStringLiteral("&About...."), this);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  connect(about, &QAction::triggered, this, &QtUpdateWindow::ShowAbout);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

QtUpdateWindow::~QtUpdateWindow() {
  // A run owns the dialog logic's state; it must end before anything goes.
  if (worker_.joinable()) worker_.join();
}

void QtUpdateWindow::BuildControls() {
  // Created in template order, which is also the tab order.
  browse_ = new QPushButton(QStringLiteral("&Browse"), this);
  file_name_ = new QLineEdit(this);
  load_ = new QPushButton(QStringLiteral("&Load"), this);
  progress_ = new QProgressBar(this);
  status_ = MakeStatic(this, QString(), Qt::AlignCenter, true, QAccessible::StatusBar);
  auto* input_label =
      MakeStatic(this, QStringLiteral("Input Port :"), Qt::AlignLeft | Qt::AlignTop, false);
  auto* file_label =
      MakeStatic(this, QStringLiteral("File Name :"), Qt::AlignLeft | Qt::AlignTop, false);
  auto* status_label =
      MakeStatic(this, QStringLiteral("Status :"), Qt::AlignLeft | Qt::AlignTop, false);
  auto* output_label =
      MakeStatic(this, QStringLiteral("Output Port :"), Qt::AlignLeft | Qt::AlignTop, false);
  output_port_ =
      MakeStatic(this, QString(), Qt::AlignLeft | Qt::AlignVCenter, true, QAccessible::StaticText);
  input_port_ =
      MakeStatic(this, QString(), Qt::AlignLeft | Qt::AlignVCenter, true, QAccessible::StaticText);

  Place(browse_, kBrowseRect, base_);
  Place(file_name_, kFileNameRect, base_);
  Place(load_, kLoadRect, base_);
  Place(progress_, kProgressRect, base_);
  Place(status_, kStatusRect, base_);
  Place(input_label, kInputLabelRect, base_);
  Place(file_label, kFileLabelRect, base_);
  Place(status_label, kStatusLabelRect, base_);
  Place(output_label, kOutputLabelRect, base_);
  Place(output_port_, kOutputPortRect, base_);
  Place(input_port_, kInputPortRect, base_);

  const std::pair<QWidget*, int> ids[] = {
      {browse_, IDC_BROWSE},          {file_name_, IDC_FILE_NAME}, {load_, IDC_LOAD},
      {progress_, IDC_PROGRESS},      {status_, IDC_STATUS},       {input_port_, IDC_INPUT_PORT},
      {output_port_, IDC_OUTPUT_PORT}};
  for (const auto& [widget, id] : ids) {
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    widget->setProperty("controlId", id);
  }
  input_label->setObjectName(QStringLiteral("inputLabel"));
  file_label->setObjectName(QStringLiteral("fileLabel"));
  status_label->setObjectName(QStringLiteral("statusLabel"));
  output_label->setObjectName(QStringLiteral("outputLabel"));

  // No default button: Enter works only on the button that has the focus.
  for (QPushButton* button : {browse_, load_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
  }
  progress_->setTextVisible(false);
  progress_->setFocusPolicy(Qt::NoFocus);
  progress_->setAccessibleName(QStringLiteral("Progress"));
  TieLabel(output_label, output_port_);
  TieLabel(input_label, input_port_);
  TieLabel(file_label, file_name_);
  TieLabel(status_label, status_);
  ApplyProgress(PBM_SETRANGE, 0, MakeRange(0, 100));
  QWidget::setTabOrder(browse_, file_name_);
  QWidget::setTabOrder(file_name_, load_);

  connect(browse_, &QPushButton::clicked, this, &QtUpdateWindow::OnBrowseClicked);
  connect(load_, &QPushButton::clicked, this, &QtUpdateWindow::OnLoadClicked);
}

void QtUpdateWindow::SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }
void QtUpdateWindow::SetFileDialogHook(FileDialogHook hook) { file_dialog_ = std::move(hook); }
void QtUpdateWindow::SetMessageBoxHook(MessageBoxHook hook) { message_box_ = std::move(hook); }

void QtUpdateWindow::PlaceInitialFocus(bool ports_found) {
  // On the window itself no control has it; Qt would otherwise give it to the
  // first tab stop when the window is first activated.
  if (ports_found) {
    browse_->setFocus(Qt::OtherFocusReason);
  } else {
    setFocus(Qt::OtherFocusReason);
  }
}

QWidget* QtUpdateWindow::Control(int id) const {
  switch (id) {
    case IDC_BROWSE:
      return browse_;
    case IDC_FILE_NAME:
      return file_name_;
    case IDC_LOAD:
      return load_;
    case IDC_PROGRESS:
      return progress_;
    case IDC_STATUS:
      return status_;
    case IDC_INPUT_PORT:
      return input_port_;
    case IDC_OUTPUT_PORT:
      return output_port_;
    default:
      return nullptr;
  }
}

template <typename F>
void QtUpdateWindow::OnWindowThread(F&& apply, Qt::ConnectionType hop) {
  if (QThread::currentThread() == thread()) {
    apply();
  } else {
    // Posted events to one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(this, std::forward<F>(apply), hop);
  }
}

void QtUpdateWindow::SetWindowText(int control, const std::string& text) {
  OnWindowThread([this, control, text] { ApplyText(control, text); });
}

void QtUpdateWindow::SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) {
  OnWindowThread([this, msg, wparam, lparam] { ApplyProgress(msg, wparam, lparam); });
}

std::string QtUpdateWindow::GetWindowText(int control) {
  std::string text;
  auto read = [this, control, &text] {
    if (control == IDC_FILE_NAME) {
      // A path typed by hand is taken as typed.
      text = file_name_->text() == file_name_shown_ ? file_name_bytes_
                                                    : file_name_->text().toStdString();
    } else if (auto* label = qobject_cast<QLabel*>(Control(control))) {
      text = label->text().toStdString();
    } else if (auto* button = qobject_cast<QPushButton*>(Control(control))) {
      text = button->text().toStdString();
    }
  };
  OnWindowThread(read, Qt::BlockingQueuedConnection);
  return text;
}

void QtUpdateWindow::MessageBox(const std::string& text) {
  auto show = [this, text = QString::fromStdString(text)] {
    message_box_(this, text);
    ReturnFocus();
  };
  OnWindowThread(show, Qt::BlockingQueuedConnection);
}

std::string QtUpdateWindow::RunFileOpenDialog() {
  std::string path;
  auto run = [this, &path] {
    path = file_dialog_(this);
    ReturnFocus();
  };
  OnWindowThread(run, Qt::BlockingQueuedConnection);
  return path;
}

std::string QtUpdateWindow::RunQtFileDialog(QWidget* parent) {
  UpdateFileDialog dialog(parent);
  return dialog.exec() == QDialog::Accepted ? dialog.chosen() : std::string();
}

void QtUpdateWindow::ApplyText(int control, const std::string& bytes) {
  const QString text = QString::fromStdString(bytes);
  if (control == IDC_FILE_NAME) {
    file_name_->setText(text);
    file_name_bytes_ = bytes;
    file_name_shown_ = file_name_->text();
  } else if (auto* label = qobject_cast<QLabel*>(Control(control))) {
    const QString old = label->text();
    label->setText(text);
    if (old != text) {
      // Heard as it happens: the whole old text goes, the new one comes, both
      // carried in the event. The description follows for tools that read that.
      label->setAccessibleDescription(text);
      QAccessibleTextUpdateEvent changed(label, 0, old, text);
      QAccessible::updateAccessibility(&changed);
    }
  } else {
    return;
  }
  emit TextApplied(control, text);
}

void QtUpdateWindow::ApplyProgress(uint32_t msg, uint32_t wparam, uint32_t lparam) {
  // The progress control this program was made for keeps its position inside
  // its range; QProgressBar would ignore an outside value instead.
  progress_state_.Apply(msg, wparam, lparam);
  // An empty range would make QProgressBar spin as "busy"; show it empty instead.
  const ProgressState& state = progress_state_;
  if (state.max > state.min) {
    progress_->setRange(state.min, state.max);
    progress_->setValue(state.position);
  } else {
    progress_->setRange(0, 1);
    progress_->setValue(0);
  }
}

void QtUpdateWindow::OnBrowseClicked() {
  if (running_ || !handlers_.browse) return;
  handlers_.browse();
}

void QtUpdateWindow::OnLoadClicked() {
  // One run at a time: clicks during a run are not acted on.
  if (running_ || !handlers_.load) return;
  running_ = true;
  inhibitor_->Acquire();
  emit RunStarted();
  worker_ = std::thread([this, load = handlers_.load] {
    load();
    // Queued after everything the run has set, so it is handled after them.
    OnWindowThread([this] { OnRunEnded(); }, Qt::QueuedConnection);
  });
}

void QtUpdateWindow::OnRunEnded() {
  worker_.join();
  running_ = false;
  stop_requested_ = false;
  inhibitor_->Release();
  emit RunFinished();
  if (close_pending_) {
    close_pending_ = false;
    QDialog::reject();
  }
}

void QtUpdateWindow::reject() {
  if (asking_) return;
  if (running_ && !stop_requested_) {
    QMessageBox question(QMessageBox::Question, QStringLiteral("Tamblet"),
                         QStringLiteral("Stop the update? An interrupted update can leave the "
                                        "instrument unusable."),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setTextFormat(Qt::PlainText);
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    asking_ = true;
    const bool stop = question.exec() == QMessageBox::Yes;
    asking_ = false;
    ReturnFocus();
    // The run may have ended while the question was open.
    if (stop && running_) {
      stop_requested_ = true;
      if (handlers_.stop) handlers_.stop();
    }
  }
  if (running_) {
    close_pending_ = true;
    return;
  }
  QDialog::reject();
}

void QtUpdateWindow::CloseOnSignal() {
  // A box's own loop, and a worker waiting on its answer, would hold the
  // window open. The question, if open, then answers No: the stop is made here.
  for (QWidget* top : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QDialog*>(top);
    if (box != nullptr && box != this && box->isVisible()) box->reject();
  }
  if (running_) {
    if (!stop_requested_ && handlers_.stop) handlers_.stop();
    stop_requested_ = true;
    close_pending_ = true;
    return;
  }
  QDialog::reject();
}

void QtUpdateWindow::keyPressEvent(QKeyEvent* event) {
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    QWidget* focus = focusWidget();
    if (focus == browse_ || focus == load_) {
      static_cast<QPushButton*>(focus)->click();
    } else if (focus == file_name_) {
      reject();
    }
    event->accept();
    return;
  }
  if (plain && event->key() == Qt::Key_Escape) {
    reject();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void QtUpdateWindow::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
  ReturnFocus();
}

void QtUpdateWindow::ReturnFocus() {
  // The keyboard comes back here when a box over the window closes; not every
  // window manager hands it back to the parent, and without one nobody does.
  if (isVisible()) activateWindow();
}

}  // namespace tamblet
