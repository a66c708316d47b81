#include "cli/instrument_view.h"

#include "app/port_discovery.h"
#include "instruments/instrument_ports.h"

namespace tamblet::cli {

PortPair InstrumentView::Discover(midi::MidiLayer& midi) {
  OnProgress({BarChange::Range(kInitialProgressMax)});
  OnProgress({BarChange::Position(0)});
  LayerPorts listed(midi);
  const WindowChoice choice = ChooseWindowPair(listed);
  PortPair pair;
  if (choice.output) {
    pair.output = choice.output->index;
    pair.output_name = output_port_ = choice.output->name;
    console_.Field(slot_, "Output Port", "output_port", choice.output->name);
  }
  if (choice.input) {
    pair.input = choice.input->index;
    pair.input_name = input_port_ = choice.input->name;
    console_.Field(slot_, "Input Port", "input_port", choice.input->name);
  }
  if (!pair.output || !pair.input) {
    Message(kDriverNotFoundText);
    OnStatus(kDriverNotFoundText);
  }
  return pair;
}

Overall InstrumentView::overall() const {
  return Overall{overall_.step(), OverallProgress::kSteps, overall_.percent()};
}

void InstrumentView::Message(const std::string& text) {
  if (text != status_) console_.Message(slot_, text);
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
