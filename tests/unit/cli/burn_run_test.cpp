// The burner's run as an operator sees it: what each token's line says, what
// the export files hold and the exit status, over emulated readers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <unistd.h>

#include "burn_engine.h"
#include "burner_world.h"

namespace {

constexpr char kSecretA[] = "JBSWY3DPEHPK3PXP";
constexpr char kSecretB[] = "MZXW6YTBOI======";
constexpr char kSecretC[] = "GEZDGNBVGY3TQOJQ";

QString Write(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
  const QString path = dir.filePath(QLatin1String(name));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes);
  return path;
}

station::BurnRecord Record(const char* serial) {
  station::BurnRecord record;
  record.serialBytes = serial;
  record.serialNumber = QLatin1String(serial);
  record.secretText = QLatin1String(kSecretB);
  record.secretBytes = station::DecodeSecret(record.secretText);
  return record;
}

// The file name a descriptor writes, for a writer that breaks one file.
QString NameOf(int fd) {
  return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd))).fileName();
}

// Each file of the set fails at its n-th line (its header counted) with
// ENOSPC when failAt names it; the lines before and the other files are
// written for real.
void BreakFilesAt(std::map<QString, int> failAt) {
  auto written = std::make_shared<std::map<QString, int>>();
  auto mutex = std::make_shared<std::mutex>();
  station::UseExportLineWriter([failAt, written, mutex](int fd, const QByteArray& bytes) {
    const QString name = NameOf(fd);
    {
      std::lock_guard<std::mutex> lock(*mutex);
      const int n = ++(*written)[name];
      for (const auto& [ending, at] : failAt) {
        if (name.endsWith(ending) && n >= at) return ENOSPC;
      }
    }
    if (::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) != bytes.size()) return EIO;
    return ::fsync(fd) == 0 ? 0 : errno;
  });
}

// A set that has lost a line, or that is closed, or whose file is no longer
// the one its name leads to, takes no line and says which file failed:
// nothing later passes for exported.
TEST(ExportSetRefusals, NoLineIsTakenOnceTheSetCannotHoldItWhole) {
  struct Case {
    const char* name;
    std::function<void(station::ExportSet&, const QString& dir)> harm;
    station::ExportFile failed;
    const char* reason;
  };
  const Case cases[] = {
      {"closed", [](station::ExportSet& set, const QString&) { set.Close(); }, station::ExportFile::Hex, "closed"},
      {"lost a line",
       [](station::ExportSet& set, const QString&) {
         BreakFilesAt({{QStringLiteral(".b32.csv"), 1}});
         EXPECT_EQ(set.WriteLines(Record("LOST")), station::ExportFile::Base32);
         station::UseExportLineWriter({});
       },
       station::ExportFile::Base32, "No space left on device"},
      {"directory deleted", [](station::ExportSet&, const QString& dir) { QDir(dir).removeRecursively(); },
       station::ExportFile::Hex, "deleted"},
      {"file replaced",
       [](station::ExportSet&, const QString& dir) {
         const QString hex = QDir(dir).filePath(QStringLiteral("Seed-2024-03-05-07-08-09.hex.csv"));
         QFile::remove(hex);
         QFile other(hex);
         ASSERT_TRUE(other.open(QIODevice::WriteOnly));
       },
       station::ExportFile::Hex, "replaced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir top;
    const QString dir = top.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(dir));
    station::ExportSet set;
    ASSERT_FALSE(set.Open(dir, QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9))));
    ASSERT_FALSE(set.WriteLines(Record("FIRST")));
    c.harm(set, dir);
    const station::LinesWritten later = set.Write(Record("LATER"));
    ASSERT_TRUE(later.failed);
    EXPECT_EQ(*later.failed, c.failed);
    EXPECT_TRUE(later.reason.contains(QLatin1String(c.reason))) << qPrintable(later.reason);
    // And the refusal lasts.
    EXPECT_TRUE(set.WriteLines(Record("AFTER")));
  }
}

// Every token whose line is missing from a file is named with the file, is
// never a plain success, and stops the run; with a random secret that is in
// no file, the line says so (and shows no secret).
TEST(BurnerExports, ATokenWhoseLineIsLostIsNeverAPlainSuccess) {
  struct Case {
    const char* name;
    const char* source;  // "seeds" or "--random 20"
    std::map<QString, int> failAt;
    const char* failedFile;
    bool inNoFile;
  };
  const Case cases[] = {
      {"seed file, Azure full at the first token", "seeds", {{".azure.csv", 2}}, ".azure.csv", false},
      {"seed file, hex full at the second token", "seeds", {{".hex.csv", 2}}, ".hex.csv", false},
      {"random, hex full", "--random 20", {{".hex.csv", 1}}, ".hex.csv", false},
      {"random, every file full",
       "--random 20",
       {{".hex.csv", 1}, {".b32.csv", 1}, {".azure.csv", 2}},
       ".hex.csv",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BurnerWorld world;
    world.pcsc.AddReader("R");
    const QString seeds = Write(world.dir, "seeds.csv",
                                QByteArray("ZZ01,") + kSecretA + "\nZZ02," + kSecretB + "\nZZ03," + kSecretC + "\n");
    world.Queue("R", {world.Token("ZZ01"), world.Token("ZZ02"), world.Token("ZZ03")});
    const QString out = world.dir.filePath(QStringLiteral("out"));
    BreakFilesAt(c.failAt);
    const QString source = QLatin1String(c.source) == QLatin1String("seeds") ? "--seed-file " + seeds
                                                                              : QLatin1String(c.source);
    const BurnerOutcome run = world.Burn(source + " --reader R --export-dir " + out + " --upn u@x");

    EXPECT_EQ(run.status, 1);
    ASSERT_FALSE(run.tokens.empty());
    const QJsonObject& last = run.tokens.back();
    EXPECT_EQ(last[QStringLiteral("result")].toString(), QStringLiteral("Failed")) << qPrintable(run.Results());
    const QString message = last[QStringLiteral("message")].toString();
    EXPECT_TRUE(message.contains(QLatin1String("holds its secret"))) << qPrintable(message);
    EXPECT_TRUE(message.contains(QLatin1String(c.failedFile))) << qPrintable(message);
    EXPECT_TRUE(message.contains(QLatin1String("No space left on device"))) << qPrintable(message);
    EXPECT_EQ(message.contains(QLatin1String("in no file")), c.inNoFile) << qPrintable(message);
    // No new token after the loss; every line before it a success.
    for (std::size_t i = 0; i + 1 < run.tokens.size(); ++i) {
      EXPECT_EQ(run.tokens[i][QStringLiteral("result")].toString(), QStringLiteral("Succeeded"));
    }
    EXPECT_TRUE(run.errors.contains(QLatin1String("export lines lost: 1 token is burned but missing")))
        << qPrintable(run.errors);
    EXPECT_TRUE(run.errors.contains(last[QStringLiteral("serial")].toString())) << qPrintable(run.errors);
    EXPECT_LT(run.tokens.size(), 3u);
  }
}

}  // namespace
