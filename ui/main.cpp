// The station: one modal main window; the program ends when it closes.
#include <QApplication>

#include "program_icon.h"
#include "vantor_dlg.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  ui::ApplyVersionRecord(application);
  QApplication::setWindowIcon(ui::ProgramIcon());
  CVantorDlg window;
  window.exec();
  return 0;
}
