// The burner's run as an operator sees it: what each token's line says, what
// the export files hold and the exit status, over emulated readers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
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

// The APDUs of one burn from the token's laying; the seed write is the last.
constexpr int kSeedWriteApdu = 10;

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A token laid on the reader while it waits for the token whose seed write
// lost its answer is left, and that counts in the exit status even when the
// awaited token comes back and is burned.
TEST(BurnerRun, ATokenLeftWhileTheReaderWaitsMakesTheExitStatus1) {
  BurnerWorld world;
  world.pcsc.AddReader("R");
  auto a = world.Token("ZZ0A");
  auto b = world.Token("ZZ0B");
  world.pcsc.InsertToken("R", a);
  world.pcsc.LoseAnswerAtApdu("R", kSeedWriteApdu, true);
  const BurnerOutcome run = world.Burn("--random 20 --no-export --reader R --count 1", [&](cli::Run&) {
    ASSERT_TRUE(WaitFor([&] { return world.pcsc.TokenIn("R") == nullptr; }));
    world.pcsc.InsertToken("R", b);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    world.pcsc.RemoveToken("R");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    world.pcsc.InsertToken("R", a);
  });
  ASSERT_EQ(run.tokens.size(), 2u) << qPrintable(run.Results());
  EXPECT_EQ(run.tokens[0][QStringLiteral("serial")].toString(), QStringLiteral("ZZ0B"));
  EXPECT_EQ(run.tokens[0][QStringLiteral("result")].toString(), QStringLiteral("Left"));
  EXPECT_EQ(run.tokens[1][QStringLiteral("serial")].toString(), QStringLiteral("ZZ0A"));
  EXPECT_EQ(run.tokens[1][QStringLiteral("result")].toString(), QStringLiteral("Succeeded"));
  EXPECT_FALSE(a->Seed().empty());
  EXPECT_TRUE(b->Seed().empty());
  EXPECT_EQ(run.status, 1);
  // The waiting is said the burner's way: no window buttons.
  EXPECT_TRUE(run.errors.contains(QLatin1String("lay it on this reader again"))) << qPrintable(run.errors);
  EXPECT_FALSE(run.errors.contains(QLatin1String("press"))) << qPrintable(run.errors);
}

// A token of another key swapped in right after the arrival's read (the
// press's own read finds it: nothing is sent to it under that turn) or right
// after the press's read (it refuses the authentication): either way the
// refusal is booked and reported under the token that answered, the token
// read first is not held to be refused, and laid again it is burned.
TEST(BurnerRun, ARefusalIsBookedUnderTheTokenThatAnswered) {
  for (const int swapAfterApdu : {1, 2}) {
    SCOPED_TRACE("swapped after APDU " + std::to_string(swapAfterApdu));
    BurnerWorld world;
    world.pcsc.AddReader("R");
    auto a = world.Token("ZZ0A");
    auto b = world.Token("ZZ0B", "00112233445566778899AABBCCDDEEFF");
    world.pcsc.InsertToken("R", a);
    world.pcsc.SwapTokenAfterApdu("R", swapAfterApdu, b);
    const BurnerOutcome run = world.Burn("--random 20 --no-export --reader R --count 1", [&](cli::Run&) {
      ASSERT_TRUE(WaitFor([&] { return b->TriesLeft() < 5; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      world.pcsc.RemoveToken("R");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      world.pcsc.InsertToken("R", a);
    });
    QStringList aResults;
    QStringList bResults;
    for (const QJsonObject& t : run.tokens) {
      (t[QStringLiteral("serial")].toString() == QLatin1String("ZZ0A") ? aResults : bResults)
          << t[QStringLiteral("result")].toString() + u' ' + t[QStringLiteral("message")].toString();
    }
    ASSERT_FALSE(bResults.empty()) << qPrintable(run.Results());
    EXPECT_TRUE(bResults[0].startsWith(QLatin1String("Failed Authentication failed, remaining 4 times")))
        << qPrintable(bResults[0]);
    EXPECT_EQ(aResults.join(u'|').toStdString(), "Succeeded its secret was not saved (--no-export)")
        << qPrintable(run.Results());
    EXPECT_EQ(a->TriesLeft(), 5);
    EXPECT_FALSE(a->Seed().empty());
    EXPECT_EQ(b->TriesLeft(), 4);
    EXPECT_EQ(run.status, 1);
  }
}

// The engine's texts speak of the window's buttons; the burner's lines speak
// of what its operator does, and put a cause to a bare code.
TEST(BurnerText, EngineTextsAreSaidTheBurnersWay) {
  const std::pair<const char*, const char*> cases[] = {
      {"Authentication process failed! The token's answer was lost, so it is not tried again by itself: press Burn "
       "to try again.",
       "not tried again in this run"},
      {"The token's answer to the seed write was lost: token ZZ01 may hold the secret. Lay it on the reader again "
       "to finish the burn, or press Stop.",
       "token ZZ01 may hold the secret; lay it on this reader again"},
      {"The burn was stopped while its outcome was unknown: token ZZ01 may hold the secret, which is in no export "
       "file. Burn the token again before it is used.",
       "token ZZ01 may hold the secret, which is in no export file"},
      {"config failed![00000001]", "config failed![00000001]: the token refused the command"},
      {"Failed to program the token! Error: 00000002", "Error: 00000002: the token left the reader"},
      {"Device not connected", "Device not connected: the token left the reader"},
      {"Authentication failed, remaining 4 times", "Authentication failed, remaining 4 times"},
  };
  for (const auto& [engine, burner] : cases) {
    const QString text = cli::BurnerText(QLatin1String(engine));
    EXPECT_TRUE(text.contains(QLatin1String(burner))) << engine << " -> " << qPrintable(text);
    EXPECT_FALSE(text.contains(QLatin1String("press"), Qt::CaseInsensitive)) << qPrintable(text);
  }
}

}  // namespace

namespace {

// The JSON time says its offset from UTC (RFC 3339).
TEST(BurnerReport, JsonTimeCarriesItsOffset) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  {
    cli::Reporter reporter(true, out, err, false);
    reporter.Token({QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9), QTimeZone(3600)), "R", "ZZ01",
                    cli::TokenResult::Succeeded, QString()});
  }
  std::rewind(out);
  char line[512] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, out));
  const QJsonObject object = QJsonDocument::fromJson(line).object();
  EXPECT_EQ(object[QStringLiteral("time")].toString(), QStringLiteral("2024-03-05T07:08:09.000+01:00"));
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
