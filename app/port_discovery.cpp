#include "app/port_discovery.h"

namespace tamblet {

PortPair PairOf(const WindowChoice& choice) {
  PortPair pair;
  if (choice.output) {
    pair.output = choice.output->index;
    pair.output_name = choice.output->name;
  }
  if (choice.input) {
    pair.input = choice.input->index;
    pair.input_name = choice.input->name;
  }
  return pair;
}

PortPair DiscoverPortPair(midi::MidiLayer& midi, DiscoveryView& view) {
  view.ShowBar(BarChange::Range(kInitialProgressMax));
  view.ShowBar(BarChange::Position(0));

  LayerPorts ports(midi);
  const PortPair pair = PairOf(ChooseWindowPair(ports));
  if (pair.output) view.ShowPort(PortDirection::kOutput, pair.output_name);
  if (pair.input) view.ShowPort(PortDirection::kInput, pair.input_name);
  if (!pair.found()) {
    view.ShowMessage(kDriverNotFoundText);
    view.ShowStatus(kDriverNotFoundText);
  }
  return pair;
}

PortPair DiscoverPortPair(midi::MidiLayer& midi, WindowLayer& window) {
  class WindowDiscovery final : public DiscoveryView {
   public:
    explicit WindowDiscovery(WindowLayer& window) : window_(window) {}
    void ShowBar(const BarChange& change) override {
      window_.SendProgressMessage(change.Message(), change.WParam(), change.LParam());
    }
    void ShowPort(PortDirection direction, const std::string& name) override {
      window_.SetWindowText(direction == PortDirection::kOutput ? IDC_OUTPUT_PORT : IDC_INPUT_PORT,
                            name);
    }
    void ShowMessage(const std::string& text) override { window_.MessageBox(text); }
    void ShowStatus(const char* text) override { window_.SetWindowText(IDC_STATUS, text); }

   private:
    WindowLayer& window_;
  } view(window);
  return DiscoverPortPair(midi, view);
}

}  // namespace tamblet
