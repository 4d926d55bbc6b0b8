// Construction and destruction of the update dialog.
#include "app/updater_dlg.h"

CUpdaterDlg::CUpdaterDlg() = default;

// Members go in reverse order: the settings key is closed, then the port.
CUpdaterDlg::~CUpdaterDlg() = default;
