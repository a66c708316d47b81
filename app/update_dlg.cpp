#include "app/update_dlg.h"

#include "app/port_discovery.h"
#include "app/version_preview.h"

namespace tamblet {
namespace {

// The run's events as the window shows them: status texts and progress-bar
// messages as they come, and a notice as a message box once Load is done, or
// at once when it warns before the ports open.
class WindowView final : public RunObserver {
 public:
  explicit WindowView(WindowLayer& window) : window_(window) {}
  void OnStep(LoadStep step) override { window_.SetStep(step); }
  void OnStatus(const char* text) override { window_.SetWindowText(IDC_STATUS, text); }
  void OnProgress(const RunProgress& progress) override {
    window_.SendProgressMessage(progress.bar.Message(), progress.bar.WParam(),
                                progress.bar.LParam());
  }
  void OnPorts(const std::string&, const std::string&) override {}  // shown since discovery
  void OnNotice(const Notice& notice) override {
    if (notice.kind == Notice::Kind::kNotRealTime) {
      window_.MessageBox(NoticeText(notice));
    } else {
      notice_ = NoticeText(notice);
    }
  }

  // A message box blocks this thread until it is closed: shown last.
  void ShowNotice() {
    if (!notice_.empty()) window_.MessageBox(notice_);
  }

 private:
  WindowLayer& window_;
  std::string notice_;
};

// Forgets a stop request on every way out of Load: it was meant for this run only.
class EndOfLoad {
 public:
  explicit EndOfLoad(StopToken& stop) : stop_(stop) {}
  ~EndOfLoad() { stop_.Clear(); }
  EndOfLoad(const EndOfLoad&) = delete;
  EndOfLoad& operator=(const EndOfLoad&) = delete;

 private:
  StopToken& stop_;
};

}  // namespace

CUpdateDlg::CUpdateDlg(WindowLayer& window, midi::MidiLayer& midi, WaitPolicy& waits)
    : window_(window), midi_(&midi), waits_(waits) {}

bool CUpdateDlg::OnInitDialog() {
  ports_ = DiscoverPortPair(*midi_, window_);
  return ports_.found();
}

void CUpdateDlg::Rediscover(std::unique_ptr<midi::MidiLayer> fresh) {
  LayerPorts listed(*fresh);
  const PortPair now = PairOf(ChooseWindowPair(listed));
  if (now.output_name != ports_.output_name)
    window_.SetWindowText(IDC_OUTPUT_PORT, now.output_name);
  if (now.input_name != ports_.input_name) window_.SetWindowText(IDC_INPUT_PORT, now.input_name);
  if (now.found() && !ports_.found() && window_.GetWindowText(IDC_STATUS) == kDriverNotFoundText)
    window_.SetWindowText(IDC_STATUS, "");
  // Even with the same names: a port plugged back may sit at another address.
  ports_ = now;
  owned_midi_ = std::move(fresh);
  midi_ = owned_midi_.get();
}

void CUpdateDlg::OnBrowse() { selected_file_path_ = BrowseForUpdateFile(window_); }

void CUpdateDlg::OnLoad() {
  EndOfLoad end_of_load(stop_);
  WindowView view(window_);
  CheckedUpdate update;
  {
    FileBytes file;
    if (auto failed = ReadUpdateFile(selected_file_path_, file, view)) {
      last_outcome_ = *failed;
      return;
    }
    // The image holds all that is needed from here on: the bytes go at the brace.
    if (auto failed = CheckUpdateFile({file.data.get(), file.length}, update, view)) {
      last_outcome_ = *failed;
      return;
    }
  }
  last_outcome_ = RunUpdate(update, ports_, *midi_, view, stop_, waits_);
  view.ShowNotice();
}

}  // namespace tamblet
