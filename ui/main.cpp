// The station: one modal main window; the program ends when it closes. Its
// options are handled before Qt looks for a display, so that --help,
// --version and a bad key or password file answer from a terminal without one.
#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstring>
#include <vector>

#include "program_icon.h"
#include "pskc_credential.h"
#include "pskc_credentials.h"
#include "vantor_dlg.h"

namespace {

constexpr char kUsage[] =
    "Usage: orvex-zerazaduzu [--help | --version]\n"
    "                        [--pskc-key-file FILE | --pskc-password-file FILE] [Qt options]\n"
    "\n"
    "Programming station for TOTP hardware tokens on PC/SC readers. It opens\n"
    "its window; Qt's own options (such as -platform xcb) are passed to Qt.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "  --pskc-key-file FILE\n"
    "                 a pre-shared AES-128 key (32 hex digits in FILE): the\n"
    "                 export set gets a PSKC file (.pskc) with the secrets\n"
    "                 encrypted under it, and it opens PSKC seed files\n"
    "  --pskc-password-file FILE\n"
    "                 the same with a password (FILE's first line), turned\n"
    "                 into the key by PBKDF2 with a fresh salt per file\n";

// Takes the PSKC options out of the arguments Qt sees. False, with the
// reason said, when one is wrong.
bool TakePskcOptions(int* argc, char* argv[]) {
  std::vector<char*> rest{argv[0]};
  std::optional<pskc::CredentialFile> read;
  for (int i = 1; i < *argc; ++i) {
    const bool key = std::strcmp(argv[i], "--pskc-key-file") == 0;
    const bool password = std::strcmp(argv[i], "--pskc-password-file") == 0;
    if (!key && !password) {
      rest.push_back(argv[i]);
      continue;
    }
    if (i + 1 >= *argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr, "orvex-zerazaduzu: %s needs a file\n", argv[i]);
      return false;
    }
    if (read) {
      std::fprintf(stderr, "orvex-zerazaduzu: give one --pskc-key-file or --pskc-password-file\n");
      return false;
    }
    const QString path = QString::fromLocal8Bit(argv[++i]);
    read = key ? pskc::ReadKeyFile(path) : pskc::ReadPasswordFile(path);
    if (!read->credential) {
      std::fprintf(stderr, "orvex-zerazaduzu: %s\n", qPrintable(read->error));
      return false;
    }
  }
  if (read) ui::UsePskcCredential(read->credential);
  for (std::size_t i = 0; i < rest.size(); ++i) argv[i] = rest[i];
  *argc = static_cast<int>(rest.size());
  argv[*argc] = nullptr;
  return true;
}

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
  if (!TakePskcOptions(&argc, argv)) return 2;
  QApplication application(argc, argv);
  ui::ApplyVersionRecord(application);
  // Lets a Wayland desktop match the window to the installed desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.halcyvuzuvaro.orvexzerazaduzu"));
  QApplication::setWindowIcon(ui::ProgramIcon());
  CVantorDlg window;
  window.exec();
  return 0;
}
