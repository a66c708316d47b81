// The dialog's opening: progress range and port discovery.
#include "app/port_discovery.h"
#include "app/update_dlg.h"

namespace tamblet {

bool CUpdateDlg::OnInitDialog() {
  const DiscoveryResult ports = DiscoverPortPair(midi_, window_);
  output_port_index_ = ports.output_index;
  input_port_index_ = ports.input_index;
  return ports.found();
}

}  // namespace tamblet
