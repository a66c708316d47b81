#include "app/port_discovery.h"

#include "base/display.h"

namespace tamblet {

DiscoveryResult DiscoverPortPair(midi::MidiLayer& midi, WindowLayer& window) {
  window.SendProgressMessage(PBM_SETRANGE, 0, MakeRange(0, kInitialProgressMax));
  window.SendProgressMessage(PBM_SETPOS, 0, 0);

  LayerPorts ports(midi);
  const WindowChoice choice = ChooseWindowPair(ports);
  DiscoveryResult result;
  if (choice.output) {
    window.SetWindowText(IDC_OUTPUT_PORT, choice.output->name);
    result.output_index = choice.output->index;
  }
  if (choice.input) {
    window.SetWindowText(IDC_INPUT_PORT, choice.input->name);
    result.input_index = choice.input->index;
  }
  if (!result.found()) {
    window.MessageBox(kDriverNotFoundText);
    window.SetWindowText(IDC_STATUS, kDriverNotFoundText);
  }
  return result;
}

}  // namespace tamblet
