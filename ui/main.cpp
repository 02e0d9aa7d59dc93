// The station: one modal main window; the program ends when it closes. Its
// only options, --help and --version, are answered before Qt looks for a
// display, so that they work from a terminal without one.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "program_icon.h"
#include "vantor_dlg.h"

namespace {

constexpr char kUsage[] =
    "Usage: orvex-zerazaduzu [--help | --version] [Qt options]\n"
    "\n"
    "Programming station for TOTP hardware tokens on PC/SC readers. It opens\n"
    "its window and takes no other command line; Qt's own options (such as\n"
    "-platform xcb) are passed to Qt.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n";

// 0 when the option was answered, 1 when the answer could not be written,
// -1 when the window should open.
int AnswerOption(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    const bool version = std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0;
    if (!help && !version) continue;
    if (help) {
      std::fputs(kUsage, stdout);
    } else {
      std::printf("%s %s\n", ui::kProductName, ui::kProgramVersion);
    }
    // A closed or full standard output is the caller's to know about.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const int answered = AnswerOption(argc, argv); answered >= 0) return answered;
  QApplication application(argc, argv);
  ui::ApplyVersionRecord(application);
  // Lets a Wayland desktop match the window to the installed desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.halcyvuzuvaro.orvexzerazaduzu"));
  QApplication::setWindowIcon(ui::ProgramIcon());
  CVantorDlg window;
  window.exec();
  return 0;
}
