// The seed sources and the code preview of the window. Their workflows are not
// part of the station yet; the buttons are wired to these handlers.
#include "vantor_dlg.h"

void CVantorDlg::OnTest() {}

void CVantorDlg::OnLoadSeedFile() {}

void CVantorDlg::OnScanScreen() {}

void CVantorDlg::OnLoadImageFile() {}

void CVantorDlg::GenerateRandomSeed(int byteCount) { (void)byteCount; }
