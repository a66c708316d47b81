// Browse: choose the update file and preview its version.
#include "app/update_dlg.h"
#include "app/version_preview.h"

namespace tamblet {

void CUpdateDlg::OnBrowse() { selected_file_path_ = BrowseForUpdateFile(window_); }

}  // namespace tamblet
