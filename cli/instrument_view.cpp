#include "cli/instrument_view.h"

namespace tamblet::cli {

void InstrumentView::ShowPort(PortDirection direction, const std::string& name) {
  const bool output = direction == PortDirection::kOutput;
  (output ? output_port_ : input_port_) = name;
  console_.Field(slot_, output ? "Output Port" : "Input Port",
                 output ? "output_port" : "input_port", name);
}

Overall InstrumentView::overall() const {
  return Overall{overall_.step(), OverallProgress::kSteps, overall_.percent()};
}

void InstrumentView::Message(const std::string& text) {
  if (text != status_) console_.Message(slot_, text);
}

void InstrumentView::OnNotice(const Notice& notice) {
  // There is no Load button here: the update is started again the way it was.
  Message(notice.kind == Notice::Kind::kLockHeld
              ? LockHeldText(notice.holder) + ", then start this update again."
              : NoticeText(notice));
}

void InstrumentView::OnStatus(const char* text) {
  status_ = text;
  console_.Status(slot_, text, overall());
}

void InstrumentView::OnProgress(const RunProgress& progress) {
  overall_.OnProgress(progress);
  if (progress_.Apply(progress.bar)) console_.Progress(slot_, progress_, overall());
}

void InstrumentView::OnPorts(const std::string& output, const std::string& input) {
  output_port_ = output;
  input_port_ = input;
}

void FileStageEvents::TellTo(RunObserver& observer) const {
  for (const Event& event : events_) {
    switch (event.kind) {
      case Kind::kStep:
        observer.OnStep(event.step);
        break;
      case Kind::kStatus:
        observer.OnStatus(event.text.c_str());
        break;
      case Kind::kProgress:
        observer.OnProgress(event.progress);
        break;
    }
  }
}

}  // namespace tamblet::cli
