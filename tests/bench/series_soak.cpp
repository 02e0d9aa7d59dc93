// A series of burns on the real station window over a real pcscd with the
// virtual token (PCSCLITE_CSOCK_NAME, ZZ_VTOKEN_CONTROL): a seed file of many
// lines is loaded, and for each burn another token, with the serial number of
// a line, is laid on the reader; the station fills in its secret and Burn is
// pressed. Every export line must be there exactly once and match what each
// token holds. Prints burns per minute and the resident memory at the start,
// half-way and at the end.
//
//   series_soak BURNS [SEED_LINES]     (exit status 0 when every check held)
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../ui/virtual_token_control.h"
#include "export_set.h"
#include "file_dialogs.h"
#include "operator_messages.h"
#include "sound_cue.h"
#include "vantor_dlg.h"

namespace {

const QString kReader = QStringLiteral("Virtual PCD 00 00");
const QString kProgrammed = QStringLiteral("Token successfully programmed!");
const QString kUser = QStringLiteral("series@example.com");

class Messages : public ui::OperatorMessages {
 public:
  void Show(QWidget*, const QString&, const QString& text, ui::MessageIcon) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts << text;
  }
  // Every token of the series has a secret of its own and a short one: a
  // question would be a fault of the run.
  bool Ask(QWidget*, const QString&, const QString& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts << text;
    return false;
  }
  QStringList Texts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_texts;
  }

 private:
  std::mutex m_mutex;
  QStringList m_texts;
};

struct SilentCue : ui::SoundCue {
  void Play(int, int) override {}
};

struct SeedFileAnswer : ui::FileDialogs {
  QString OpenFileName(QWidget*, const QString&) override { return path; }
  QString path;
};

// RFC 4648 Base32, written here so that the check does not lean on the
// station's own codec.
std::string Base32(const std::vector<uint8_t>& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (uint8_t byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      out += kAlphabet[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0) out += kAlphabet[(buffer << (5 - bits)) & 31];
  while (out.size() % 8 != 0) out += '=';
  return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Line {
  std::string serial;
  std::vector<uint8_t> seed;
};

QStringList FileLines(const QString& dir, const QString& ending) {
  const QStringList names = QDir(dir).entryList({QStringLiteral("*") + ending}, QDir::Files);
  if (names.size() != 1) return {QStringLiteral("<%1 files>").arg(names.size())};
  QFile file(QDir(dir).filePath(names.first()));
  if (!file.open(QIODevice::ReadOnly)) return {QStringLiteral("<unreadable>")};
  return QString::fromLatin1(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

// Each expected line exactly once, and nothing else; a few differences shown.
int CountExact(const char* what, const QStringList& lines, const std::vector<std::string>& expected) {
  std::multiset<std::string> present;
  for (const QString& line : lines) present.insert(line.toStdString());
  int exact = 0, shown = 0;
  for (const std::string& line : expected) {
    const std::size_t n = present.count(line);
    if (n == 1) {
      ++exact;
    } else if (shown++ < 5) {
      std::fprintf(stderr, "%s: line for %s found %zu times\n", what, line.substr(0, line.find(',')).c_str(), n);
    }
  }
  if (lines.size() != static_cast<qsizetype>(expected.size())) {
    std::fprintf(stderr, "%s: %lld lines, %zu expected\n", what, static_cast<long long>(lines.size()),
                 expected.size());
    return -1;
  }
  return exact;
}

bool WaitFor(const std::function<bool()>& done, int ms = 10000) { return QTest::qWaitFor(done, ms); }

QString Text(CVantorDlg& dlg, int id) { return dlg.Control(id)->property("text").toString(); }

int Run(int burns, int seedLines) {
  if (!std::getenv("PCSCLITE_CSOCK_NAME") || !std::getenv("ZZ_VTOKEN_CONTROL")) {
    std::fprintf(stderr, "series_soak: run over a PC/SC stack (PCSCLITE_CSOCK_NAME, ZZ_VTOKEN_CONTROL)\n");
    return 2;
  }
  if (burns < 1 || seedLines < burns) {
    std::fprintf(stderr, "series_soak: need 1 <= BURNS <= SEED_LINES\n");
    return 2;
  }
  QTemporaryDir work;
  const QString dataDir = work.filePath(QStringLiteral("Data"));
  station::SetExportDirectoryOverride(dataDir);

  // The seed file: random 20-byte secrets, serial numbers in order.
  std::mt19937_64 random(20240305);
  std::vector<Line> lines(static_cast<std::size_t>(seedLines));
  SeedFileAnswer seedFile;
  seedFile.path = work.filePath(QStringLiteral("seeds.csv"));
  {
    std::string text;
    for (int i = 0; i < seedLines; ++i) {
      Line& line = lines[static_cast<std::size_t>(i)];
      char serial[16];
      std::snprintf(serial, sizeof serial, "ZZS%07d", i);
      line.serial = serial;
      line.seed.resize(20);
      for (uint8_t& byte : line.seed) byte = static_cast<uint8_t>(random());
      text += line.serial + "," + Base32(line.seed) + "\r\n";
    }
    QFile file(seedFile.path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
      std::fprintf(stderr, "series_soak: cannot write the seed file\n");
      return 1;
    }
  }

  Messages messages;
  SilentCue cue;
  ui::UseMessages(&messages);
  ui::UseSoundCue(&cue);
  CVantorDlg dlg;
  dlg.show();

  ui::UseFileDialogs(&seedFile);
  qobject_cast<QPushButton*>(dlg.Control(1000))->click();
  ui::UseFileDialogs(nullptr);
  if (!messages.Texts().isEmpty()) {
    std::fprintf(stderr, "series_soak: loading the seed file: %s\n", qPrintable(messages.Texts().join(u'|')));
    return 1;
  }
  qobject_cast<QCheckBox*>(dlg.Control(1057))->setChecked(true);
  qobject_cast<QLineEdit*>(dlg.Control(1056))->setText(kUser);
  auto* readers = qobject_cast<QComboBox*>(dlg.Control(1018));
  if (!WaitFor([&] { return readers->findText(kReader) >= 0; })) {
    std::fprintf(stderr, "series_soak: no reader '%s'\n", qPrintable(kReader));
    return 1;
  }
  readers->setCurrentIndex(readers->findText(kReader));
  qobject_cast<QPushButton*>(dlg.Control(1019))->click();
  if (!WaitFor([&] { return !Text(dlg, 1006).isEmpty(); })) {
    std::fprintf(stderr, "series_soak: no token on the reader\n");
    return 1;
  }
  auto* burn = qobject_cast<QPushButton*>(dlg.Control(1015));
  auto* secretBox = qobject_cast<QLineEdit*>(dlg.Control(1047));

  std::vector<long> resident;  // KiB at 0, half-way and at the end
  std::map<std::string, std::string> held;  // serial -> seed the token holds (hex)
  const int stride = seedLines / burns;
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < burns; ++i) {
    if (i == 0) resident.push_back(ResidentKiB());
    const Line& line = lines[static_cast<std::size_t>(i) * static_cast<std::size_t>(stride)];
    const QString serial = QString::fromStdString(line.serial);
    // The token in hand leaves; another one, with this line's serial number,
    // is laid on once the station has seen the field empty.
    if (!ControlOk("serial " + line.serial) || !WaitFor([&] { return Text(dlg, 1006).isEmpty(); }) ||
        !ControlOk("insert")) {
      std::fprintf(stderr, "series_soak: burn %d: the token could not be changed\n", i);
      return 1;
    }
    if (!WaitFor([&] {
          return Text(dlg, 1006) == serial && secretBox->text() == QString::fromStdString(Base32(line.seed)) &&
                 burn->isEnabled() && burn->text() == QStringLiteral("Burn");
        })) {
      std::fprintf(stderr, "series_soak: burn %d: token %s not ready (serial '%s')\n", i, line.serial.c_str(),
                   qPrintable(Text(dlg, 1006)));
      return 1;
    }
    const qsizetype before = messages.Texts().size();
    burn->click();
    if (!WaitFor([&] { return messages.Texts().size() > before; })) {
      std::fprintf(stderr, "series_soak: burn %d: no outcome\n", i);
      return 1;
    }
    if (messages.Texts().last() != kProgrammed) {
      std::fprintf(stderr, "series_soak: burn %d: %s\n", i, qPrintable(messages.Texts().last()));
      return 1;
    }
    held[line.serial] = Control("state")["seed"];
    if (i + 1 == burns / 2 || i + 1 == burns) resident.push_back(ResidentKiB());
  }
  const double minutes = clock.elapsed() / 60000.0;
  if (!WaitFor([&] { return Text(dlg, 1009) == QString::number(burns); })) {
    std::fprintf(stderr, "series_soak: Success shows %s\n", qPrintable(Text(dlg, 1009)));
    return 1;
  }
  dlg.done(0);  // closes the export files

  // What each token holds, against the lines written.
  std::vector<std::string> hexLines, base32Lines, azureLines;
  int heldExact = 0;
  for (int i = 0; i < burns; ++i) {
    const Line& line = lines[static_cast<std::size_t>(i) * static_cast<std::size_t>(stride)];
    const std::string hex = Hex(line.seed);
    if (QString::fromStdString(held[line.serial]).toUpper().toStdString() == hex) ++heldExact;
    hexLines.push_back(line.serial + "," + QString::fromStdString(held[line.serial]).toUpper().toStdString());
    base32Lines.push_back(line.serial + "," + Base32(line.seed));
    azureLines.push_back(kUser.toStdString() + "," + line.serial + "," + Base32(line.seed) + ",30,Halcy Vuzuvaro,Orvex");
  }
  QStringList azure = FileLines(dataDir, QStringLiteral(".azure.csv"));
  const bool header = !azure.isEmpty() && azure.first() == QStringLiteral("upn,serial number,secret key,time interval,manufacturer,model");
  if (header) azure.removeFirst();
  const int hexExact = CountExact("hex", FileLines(dataDir, QStringLiteral(".hex.csv")), hexLines);
  const int base32Exact = CountExact("b32", FileLines(dataDir, QStringLiteral(".b32.csv")), base32Lines);
  const int azureExact = CountExact("azure", azure, azureLines);

  const long growth = resident.back() - resident.front();
  std::printf("series of %d burns from a %d-line seed file: %.1f min, %.1f burns per minute\n", burns, seedLines,
              minutes, burns / minutes);
  std::printf("resident memory (VmRSS): %ld KiB at 0, %ld KiB at %d, %ld KiB at %d burns; growth %ld KiB (limit 5120)\n",
              resident[0], resident[1], burns / 2, resident[2], burns, growth);
  std::printf("tokens holding the seed of their line: %d of %d\n", heldExact, burns);
  std::printf("exact export lines: hex %d, Base32 %d, Azure %d of %d; Azure header %s\n", hexExact, base32Exact,
              azureExact, burns, header ? "present" : "MISSING");
  const bool ok = heldExact == burns && hexExact == burns && base32Exact == burns && azureExact == burns && header &&
                  growth < 5 * 1024;
  std::printf("%s\n", ok ? "series: all checks held" : "series: CHECKS FAILED");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: series_soak BURNS [SEED_LINES]\n");
    return 2;
  }
  return Run(std::atoi(argv[1]), argc == 3 ? std::atoi(argv[2]) : 100000);
}
