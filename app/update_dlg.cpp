#include "app/update_dlg.h"

#include "app/port_discovery.h"
#include "app/version_preview.h"
#include "midi/device_lock.h"
#include "update/file_reader.h"
#include "update/update_file.h"
#include "update/update_sequence.h"

namespace tamblet {
namespace {

// Closes the port pair on every way out of Load, whether or not it was opened,
// and forgets a stop request, which was meant for this run only.
class EndOfLoad {
 public:
  EndOfLoad(CSysExPort& port, StopRequest& stop) : port_(port), stop_(stop) {}
  ~EndOfLoad() {
    port_.Close();
    stop_.Clear();
  }
  EndOfLoad(const EndOfLoad&) = delete;
  EndOfLoad& operator=(const EndOfLoad&) = delete;

 private:
  CSysExPort& port_;
  StopRequest& stop_;
};

}  // namespace

std::string BusyPortText(const midi::PortHolder& holder) {
  return "The device's MIDI port is in use by " + holder.name + " (process " +
         std::to_string(holder.pid) +
         "): close that program or disconnect its MIDI connections, then press Load again.";
}

std::string NoLockText(const std::string& problem) {
  return "The device was not opened: the lock that keeps a second update off it cannot be kept "
         "safely, because " +
         problem +
         ". Remove that file or folder, or set XDG_RUNTIME_DIR to a folder of your own, then "
         "press Load again.";
}

CUpdateDlg::CUpdateDlg(WindowLayer& window, midi::MidiLayer& midi, WaitPolicy& waits)
    : window_(window),
      midi_(midi),
      waits_(waits),
      port_pair_(midi, waits),
      commands_(port_pair_, *this, &stop_) {}

CUpdateDlg::~CUpdateDlg() = default;

bool CUpdateDlg::OnInitDialog() {
  const DiscoveryResult ports = DiscoverPortPair(midi_, window_);
  output_port_index_ = ports.output_index;
  input_port_index_ = ports.input_index;
  return ports.found();
}

void CUpdateDlg::OnBrowse() { selected_file_path_ = BrowseForUpdateFile(window_); }

void CUpdateDlg::SetStatusText(const char* text) { window_.SetWindowText(IDC_STATUS, text); }

void CUpdateDlg::SendProgressMessage(uint32_t msg, uint32_t wparam, uint32_t lparam) {
  window_.SendProgressMessage(msg, wparam, lparam);
}

void CUpdateDlg::SetStep(LoadStep step) { window_.SetStep(step); }

void CUpdateDlg::FailFileStage(LoadStep step, const char* text) {
  SetStatusText(text);
  last_outcome_ = {step, text};
}

void CUpdateDlg::OnLoad() {
  EndOfLoad end_of_load(port_pair_, stop_);
  open_message_.clear();

  // The file stage: read the file whole, check every block, assemble the image.
  SendProgressMessage(PBM_SETRANGE, 0, MakeRange(0, 2));
  SendProgressMessage(PBM_SETPOS, 0, 0);
  SetStep(LoadStep::kReadFile);
  SetStatusText(kFileReadingText);

  FileBytes file;
  uint64_t length = 0;
  const ReadStatus read = ReadWholeFile(selected_file_path_, file, length);
  if (read != ReadStatus::kOk) {
    FailFileStage(LoadStep::kReadFile, ReadFailureText(read));
    return;
  }
  SendProgressMessage(PBM_SETPOS, 1, 0);
  SetStep(LoadStep::kCheckFile);

  FileStageResult checked = CheckAndAssemble({file.data.get(), file.length});
  file.data.reset();  // the image holds all that is needed from here on
  if (checked.failure) {
    FailFileStage(LoadStep::kCheckFile, checked.failure);
    return;
  }
  SendProgressMessage(PBM_SETPOS, 2, 0);

  last_outcome_ = RunDeviceStage(checked.header, checked.image, output_port_index_,
                                 input_port_index_, *this, *this, waits_);
  if (!open_message_.empty()) window_.MessageBox(open_message_);
}

bool CUpdateDlg::Open(uint32_t out_index, uint32_t in_index) {
  if (port_pair_.Open(out_index, in_index)) return true;
  // Asked at once, while the program that made the open fail still holds the port.
  const auto& failure = port_pair_.open_failure();
  if (failure && failure->result == midi::MMSYSERR_ALLOCATED) {
    const auto holder = failure->direction == PortDirection::kOutput ? midi_.OutGetHolder(out_index)
                                                                     : midi_.InGetHolder(in_index);
    if (holder) open_message_ = BusyPortText(*holder);
  } else if (failure && failure->result == midi::TAMBLET_ERR_NOLOCK) {
    open_message_ = NoLockText(midi::DeviceLockProblem());
  }
  return false;
}

int32_t CUpdateDlg::GetModelName(char (&name)[kModelNameSize]) {
  return commands_.GetModelName(name);
}
int32_t CUpdateDlg::SelectDevice(uint8_t target_select) {
  return commands_.SelectDevice(target_select);
}
int32_t CUpdateDlg::RunOperation(uint16_t code, uint32_t start, uint32_t count,
                                 uint32_t chunk_size) {
  return commands_.RunOperation(code, start, count, chunk_size);
}
int32_t CUpdateDlg::WriteChunk(uint32_t address, const uint8_t* data, uint32_t count) {
  return commands_.WriteChunk(address, data, count);
}
int32_t CUpdateDlg::VerifySum(uint32_t address, uint32_t count, uint16_t sum) {
  return commands_.VerifySum(address, count, sum);
}
int32_t CUpdateDlg::ModeOff() { return commands_.ModeOff(); }

}  // namespace tamblet
