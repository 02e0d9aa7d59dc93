// The burner's command line, the checks of its inputs before any token is
// touched, the run's book and the export set that several readers share.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <thread>

#include "app_values.h"
#include "burn_inputs.h"
#include "burn_options.h"
#include "burn_run.h"
#include "burn_engine.h"

namespace {

using cli::Options;
using cli::UsageError;

QStringList Args(const char* line) { return QString::fromLatin1(line).split(u' ', Qt::SkipEmptyParts); }

struct Accepted {
  const char* args;
  std::function<void(const Options&)> check;
};

TEST(BurnOptions, AcceptedCommandLines) {
  const Accepted cases[] = {
      {"--seed-file s.csv --reader R", [](const Options& o) {
         EXPECT_EQ(o.source, cli::SecretSource::SeedFile);
         EXPECT_EQ(o.seedFile, "s.csv");
         EXPECT_EQ(o.readers, QStringList{"R"});
         EXPECT_EQ(o.choices.timeWindow, 30);
         EXPECT_EQ(o.choices.algorithm, "SHA1");
         EXPECT_EQ(o.choices.displayTime, 30);
         EXPECT_TRUE(o.syncClock);
         EXPECT_FALSE(o.count);
       }},
      {"--random=64 --no-export --all-readers --time-window 60 --algorithm SHA256 --display-time 120 --no-sync --count 7 --json",
       [](const Options& o) {
         EXPECT_EQ(o.randomBytes, 64);
         EXPECT_TRUE(o.allReaders);
         EXPECT_EQ(o.choices.timeWindow, 60);
         EXPECT_EQ(o.choices.algorithm, "SHA256");
         EXPECT_EQ(o.choices.displayTime, 120);
         EXPECT_FALSE(o.syncClock);
         EXPECT_EQ(o.count, 7);
         EXPECT_TRUE(o.json);
       }},
      {"--secret-file k --reader A --reader B --export-dir D --upn u@x", [](const Options& o) {
         EXPECT_EQ(o.readers, (QStringList{"A", "B"}));
         EXPECT_EQ(o.count, 1);  // one secret, one token
         EXPECT_EQ(o.exportDir, "D");
         EXPECT_EQ(o.upn, "u@x");
       }},
      {"--random 128 --reader R --no-export", [](const Options& o) { EXPECT_EQ(o.randomBytes, 128); }},
      {"--seed-file s --reader R --export-dir D", [](const Options& o) {
         EXPECT_EQ(o.formats, (std::vector<station::ExportFile>{station::ExportFile::Hex, station::ExportFile::Base32,
                                                                station::ExportFile::Azure}));
         EXPECT_TRUE(cli::WritesAzure(o));
       }},
      {"--seed-file s --reader R --export-dir D --formats oath,hex", [](const Options& o) {
         EXPECT_EQ(o.formats, (std::vector<station::ExportFile>{station::ExportFile::Oath, station::ExportFile::Hex}));
         EXPECT_FALSE(cli::WritesAzure(o));
       }},
      {"--seed-file s --reader R --export-dir D --formats=hex,b32,azure,oath", [](const Options& o) {
         EXPECT_EQ(o.formats.size(), 4u);
       }},
      // Without the Azure file the cloud directory's limit is not the run's.
      {"--random 128 --reader R --export-dir D --formats hex,b32,oath",
       [](const Options& o) { EXPECT_EQ(o.randomBytes, 128); }},
      {"--pool host=db --pool-key-file k --station bench-2 --operator ann --pool-journal j --reader R",
       [](const Options& o) {
         EXPECT_EQ(o.source, cli::SecretSource::Pool);
         EXPECT_EQ(o.poolConninfo, "host=db");
         EXPECT_EQ(o.poolKeyFile, "k");
         EXPECT_EQ(o.station, "bench-2");
         EXPECT_EQ(o.operatorName, "ann");
         EXPECT_EQ(o.poolJournal, "j");
         EXPECT_TRUE(o.exportDir.isEmpty());  // the pool keeps the secrets: no export needed
       }},
      // An empty connection string: libpq's PG* variables.
      {"--pool= --pool-key-file k --all-readers", [](const Options& o) { EXPECT_TRUE(o.poolConninfo.isEmpty()); }},
      {"--list-readers", [](const Options& o) { EXPECT_TRUE(o.listReaders); }},
      {"--help --bogus-after-help-is-still-refused", nullptr},
  };
  for (const Accepted& c : cases) {
    const auto parsed = cli::ParseOptions(Args(c.args));
    if (!c.check) {
      EXPECT_TRUE(std::holds_alternative<UsageError>(parsed)) << c.args;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<Options>(parsed))
        << c.args << ": " << qPrintable(std::get<UsageError>(parsed).text);
    c.check(std::get<Options>(parsed));
  }
}

TEST(BurnOptions, BadUsageGivesOneLineNamingTheFault) {
  const std::pair<const char*, const char*> cases[] = {
      {"--reader R", "no secret source"},
      {"--seed-file s --random 20 --reader R", "choose one secret source"},
      {"--seed-file s", "no reader"},
      {"--seed-file s --reader R --all-readers", "not both"},
      {"--random 16 --reader R", "20, 32, 64 or 128"},
      {"--random many --reader R", "20, 32, 64 or 128"},
      {"--random 20 --reader R --time-window 45", "30 or 60"},
      {"--random 20 --reader R --algorithm MD5", "SHA1 or SHA256"},
      {"--random 20 --reader R --display-time 10", "15, 30, 60 or 120"},
      {"--random 20 --reader R --count 0", "from 1 up"},
      {"--random 20 --reader R --reader R", "given twice"},
      {"--random 20 --reader R --upn u", "--export-dir"},
      {"--random 20 --reader R", "keeps the secrets nowhere"},
      {"--random 20 --reader R --no-export --export-dir D", "contradict"},
      {"--random 20 --reader R --export-dir D --upn a,b", "comma"},
      {"--random 128 --reader R --export-dir D", "64 or less"},
      {"--secret-file k --reader R --count 2", "--count must be 1"},
      {"--secret JBSWY3DPEHPK3PXP --reader R", "--secret-file"},
      {"--seed-file", "needs a value"},
      {"--frobnicate", "unknown option"},
      {"--json=yes --random 20 --reader R", "takes no value"},
      {"--list-readers --reader R", "alone"},
      {"--seed-file s --reader R --export-dir D --formats hex,xml", "unknown format 'xml'"},
      {"--seed-file s --reader R --export-dir D --formats HEX", "unknown format 'HEX'"},
      {"--seed-file s --reader R --export-dir D --formats hex,,b32", "unknown format ''"},
      {"--seed-file s --reader R --export-dir D --formats=", "needs a comma list"},
      {"--seed-file s --reader R --export-dir D --formats b32,hex,b32", "'b32' is given twice"},
      {"--seed-file s --reader R --export-dir D --formats hex --formats b32", "--formats is given twice"},
      {"--seed-file s --reader R --export-dir D --formats hex,pskc",
       "needs --pskc-key-file or --pskc-password-file"},
      {"--seed-file s --reader R --formats hex", "give --export-dir too"},
      {"--random 128 --reader R --export-dir D --formats azure", "64 or less"},
      {"--pool host=db --reader R", "--pool needs --pool-key-file"},
      {"--pool host=db --seed-file s --pool-key-file k --reader R", "choose one secret source"},
      {"--seed-file s --station s1 --reader R", "give --pool too"},
      {"--random 20 --no-export --pool-key-file k --reader R", "give --pool too"},
      {"--pool host=db --pool-key-file k --station= --reader R", "1 to 64 characters"},
  };
  for (const auto& [args, expected] : cases) {
    const auto parsed = cli::ParseOptions(Args(args));
    ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << args;
    const QString text = std::get<UsageError>(parsed).text;
    EXPECT_TRUE(text.contains(QLatin1String(expected))) << args << " -> " << qPrintable(text);
    EXPECT_FALSE(text.contains(u'\n')) << args;
  }
}

// A PC/SC listing without PC/SC.
cli::ReaderLister Readers(std::vector<std::string> names, int result = 0, int32_t pcsc = 0) {
  return [=](std::vector<std::string>* out, int32_t* pcscResult) {
    *out = names;
    if (pcscResult) *pcscResult = pcsc;
    return result;
  };
}

class BurnInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    // The readers' lock files of this test alone.
    qputenv("PCSCLITE_CSOCK_NAME", m_dir.filePath(QStringLiteral("pcscd.comm")).toLocal8Bit());
  }
  void TearDown() override { app::SetCustomerKey(QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0")); }
  QString Write(const char* name, const QByteArray& bytes) {
    const QString path = m_dir.filePath(QLatin1String(name));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
  }
  Options Parse(const QString& line) {
    const auto parsed = cli::ParseOptions(line.split(u' ', Qt::SkipEmptyParts));
    EXPECT_TRUE(std::holds_alternative<Options>(parsed)) << qPrintable(line);
    return std::get<Options>(parsed);
  }
  QTemporaryDir m_dir;
};

TEST_F(BurnInputs, EachBadInputGivesOneClearLineAndNoExportFiles) {
  const QString seeds = Write("seeds.csv", "ZZ01,JBSWY3DPEHPK3PXP\r\nZZ02,MZXW6YTBOI\r\n");
  const QString badSeeds = Write("bad.csv", "ZZ01,JBSWY3DPEHPK3PXP\nZZ02,not base32!\n");
  const QString emptySeeds = Write("empty.csv", "\r\n\n");
  const QString semicolons = Write("semicolons.csv", "ZZ01;JBSWY3DPEHPK3PXP\r\nZZ02;MZXW6YTBOI\r\n");
  const QString noSerial = Write("noserial.csv", "ZZ01,JBSWY3DPEHPK3PXP\n,MZXW6YTBOI\n");
  const QString twoSecrets = Write("twice.csv", "ZZ01,JBSWY3DPEHPK3PXP\nZZ02,MZXW6YTBOI\nZZ01,MZXW6YTBOI\n");
  const QString secret = Write("secret.txt", "JBSW Y3DP-EHPK 3PXP\n");
  const QString badSecret = Write("badsecret.txt", "0189!\n");
  const QString key = Write("key.txt", "00112233445566778899aabbccddeeff\n");
  const QString badKey = Write("badkey.txt", "0011223344\n");
  const QString aFile = Write("plain", "x");
  const QString missing = m_dir.filePath(QStringLiteral("missing"));
  const QString exportDir = m_dir.filePath(QStringLiteral("out"));
  const QString unwritable = aFile + QStringLiteral("/out");  // under a plain file

  const std::pair<QString, const char*> cases[] = {
      {"--seed-file " + missing + " --reader R", "cannot read seed file"},
      {"--seed-file " + m_dir.path() + " --reader R", "is a directory"},
      {"--seed-file " + badSeeds + " --reader R", "line 2"},
      {"--seed-file " + emptySeeds + " --reader R", "lists no token"},
      {"--seed-file " + semicolons + " --reader R", "lines 1, 2: no comma"},
      {"--seed-file " + noSerial + " --reader R", "line 2: no serial number"},
      {"--seed-file " + twoSecrets + " --reader R", "line 3: a serial number listed earlier with another secret"},
      {"--secret-file " + missing + " --reader R", "cannot read secret file"},
      {"--secret-file " + badSecret + " --reader R", "does not hold a Base32 secret"},
      {"--seed-file " + seeds + " --reader R --key-file " + missing, "cannot read key file"},
      {"--seed-file " + seeds + " --reader R --key-file " + badKey, "32 hexadecimal digits"},
      {"--seed-file " + seeds + " --reader Elsewhere", "unknown reader 'Elsewhere'"},
      {"--seed-file " + seeds + " --reader R --export-dir " + unwritable, "cannot create export directory"},
  };
  for (const auto& [line, expected] : cases) {
    const auto prepared = cli::PrepareRun(Parse(line), Readers({"R", "S"}));
    ASSERT_TRUE(std::holds_alternative<QString>(prepared)) << qPrintable(line);
    const QString why = std::get<QString>(prepared);
    EXPECT_TRUE(why.contains(QLatin1String(expected))) << qPrintable(line) << " -> " << qPrintable(why);
    EXPECT_FALSE(why.contains(u'\n'));
  }
  // A run refused for any reason made no export set.
  EXPECT_FALSE(QDir(exportDir).exists());
  EXPECT_EQ(app::CustomerKey(), QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0"));

  const auto noService = cli::PrepareRun(Parse("--random 20 --no-export --all-readers"), Readers({}, -1, static_cast<int32_t>(0x8010001D)));
  ASSERT_TRUE(std::holds_alternative<QString>(noService));
  EXPECT_TRUE(std::get<QString>(noService).contains(QLatin1String("pcscd")));
  const auto noReader = cli::PrepareRun(Parse("--random 20 --no-export --all-readers"), Readers({}, -1, static_cast<int32_t>(0x8010002E)));
  ASSERT_TRUE(std::holds_alternative<QString>(noReader));
  EXPECT_EQ(std::get<QString>(noReader), QStringLiteral("no reader is attached"));

  // And the good inputs together.
  const auto good = cli::PrepareRun(
      Parse("--secret-file " + secret + " --reader S --key-file " + key + " --export-dir " + exportDir + " --upn u"),
      Readers({"R", "S"}));
  ASSERT_TRUE(std::holds_alternative<cli::RunSetup>(good)) << qPrintable(std::get<QString>(good));
  const cli::RunSetup& setup = std::get<cli::RunSetup>(good);
  EXPECT_EQ(setup.secretText, QStringLiteral("JBSWY3DPEHPK3PXP"));
  EXPECT_EQ(setup.readers, QStringList{"S"});
  EXPECT_EQ(app::CustomerKey(), QStringLiteral("00112233445566778899AABBCCDDEEFF"));
  EXPECT_EQ(QDir(exportDir).entryList(QDir::Files).size(), 3);
}

// The first serial of a file saved with a byte-order mark matches, and a
// serial listed twice with one secret is no fault.
TEST_F(BurnInputs, SeedFileAsSpreadsheetsWriteItIsTaken) {
  const QString seeds = Write("bom.csv", "\xEF\xBB\xBFZZ01,JBSWY3DPEHPK3PXP\r\nZZ02,MZXW6YTBOI\r\nZZ02,MZXW6YTBOI\r\n");
  const auto prepared = cli::PrepareRun(Parse("--seed-file " + seeds + " --all-readers"), Readers({"R"}));
  ASSERT_TRUE(std::holds_alternative<cli::RunSetup>(prepared)) << qPrintable(std::get<QString>(prepared));
  cli::RunBook book(std::get<cli::RunSetup>(prepared));
  EXPECT_EQ(book.Begin("ZZ01", "ZZ01").secretText, QStringLiteral("JBSWY3DPEHPK3PXP"));
}

// A second run on a reader that a run holds is refused before it touches a
// token or makes an export set; the reader is free again once the first ends.
TEST_F(BurnInputs, ASecondRunOnAReaderIsRefused) {
  const QString out = m_dir.filePath(QStringLiteral("out"));
  std::optional<cli::RunSetup> first;
  {
    auto prepared = cli::PrepareRun(Parse("--random 20 --no-export --reader R --reader S"), Readers({"R", "S"}));
    ASSERT_TRUE(std::holds_alternative<cli::RunSetup>(prepared));
    first = std::move(std::get<cli::RunSetup>(prepared));
  }
  const auto second = cli::PrepareRun(Parse("--random 20 --reader S --export-dir " + out), Readers({"R", "S"}));
  ASSERT_TRUE(std::holds_alternative<QString>(second));
  EXPECT_EQ(std::get<QString>(second), QStringLiteral("reader 'S' is in use by another burn run"));
  EXPECT_FALSE(QDir(out).exists());
  first.reset();
  EXPECT_TRUE(std::holds_alternative<cli::RunSetup>(
      cli::PrepareRun(Parse("--random 20 --no-export --reader S"), Readers({"R", "S"}))));
}

TEST_F(BurnInputs, TheBookGivesEachTokenItsLineOnceAndNeverASecretTwice) {
  // ZZ03 shares ZZ01's secret; the run stops when the file is used up.
  const QString seeds = Write("seeds.csv", "ZZ01,JBSWY3DPEHPK3PXP\nZZ02,MZXW6YTBOI\nZZ03,JBSWY3DPEHPK3PXP\n");
  const auto prepared = cli::PrepareRun(Parse("--seed-file " + seeds + " --all-readers"), Readers({"R"}));
  ASSERT_TRUE(std::holds_alternative<cli::RunSetup>(prepared));
  const cli::RunSetup& setup = std::get<cli::RunSetup>(prepared);
  cli::RunBook book(setup);

  const cli::Turn first = book.Begin("ZZ01", "ZZ01");
  ASSERT_EQ(first.kind, cli::Turn::Kind::Burn);
  EXPECT_EQ(first.secretText, QStringLiteral("JBSWY3DPEHPK3PXP"));
  EXPECT_EQ(book.Begin("ZZ01", "ZZ01").why, QStringLiteral("its burn is under way on another reader"));
  const cli::Turn twin = book.Begin("ZZ03", "ZZ03");
  EXPECT_EQ(twin.kind, cli::Turn::Kind::Leave);
  EXPECT_TRUE(twin.why.contains(QLatin1String("already given to token ZZ01"))) << qPrintable(twin.why);
  const cli::Turn stranger = book.Begin("ZZ99", "ZZ99");
  EXPECT_EQ(stranger.why, QStringLiteral("not in the seed file"));

  // A failed burn frees its secret; a burned token is not burned again.
  book.End("ZZ01", first.digest, cli::TokenResult::Failed);
  const cli::Turn again = book.Begin("ZZ01", "ZZ01");
  ASSERT_EQ(again.kind, cli::Turn::Kind::Burn);
  book.End("ZZ01", again.digest, cli::TokenResult::Succeeded);
  const cli::Turn burned = book.Begin("ZZ01", "ZZ01");
  EXPECT_EQ(burned.leftAs, cli::TokenResult::Skipped);

  // A token that refused the key is not tried again.
  const cli::Turn second = book.Begin("ZZ02", "ZZ02");
  ASSERT_EQ(second.kind, cli::Turn::Kind::Burn);
  book.Refused("ZZ02");
  book.End("ZZ02", second.digest, cli::TokenResult::Failed);
  EXPECT_TRUE(book.Begin("ZZ02", "ZZ02").why.contains(QLatin1String("not tried again")));
  // One whose answer to the key was lost is not said to have refused it.
  book.Refused("ZZ03", cli::RunBook::Refusal::AnswerLost);
  EXPECT_TRUE(book.Begin("ZZ03", "ZZ03").why.startsWith(QLatin1String("its answer to the customer key was lost")));
  EXPECT_FALSE(book.AllBurned());
  EXPECT_FALSE(book.Stopping());
}

TEST_F(BurnInputs, TheCountStopsTheRunAndHoldsBackTokensWhileBurnsAreUnderWay) {
  const auto prepared = cli::PrepareRun(Parse("--random 20 --no-export --all-readers --count 2"), Readers({"R", "S"}));
  ASSERT_TRUE(std::holds_alternative<cli::RunSetup>(prepared));
  cli::RunBook book(std::get<cli::RunSetup>(prepared));
  int wakes = 0;
  book.SetWakeAll([&] { ++wakes; });
  const cli::Turn a = book.Begin("A", "A");
  const cli::Turn b = book.Begin("B", "B");
  ASSERT_EQ(a.kind, cli::Turn::Kind::Burn);
  ASSERT_EQ(b.kind, cli::Turn::Kind::Burn);
  EXPECT_NE(a.secretText, b.secretText);
  EXPECT_EQ(book.Begin("C", "C").leftAs, cli::TokenResult::Skipped);
  book.End("A", a.digest, cli::TokenResult::Succeeded);
  EXPECT_FALSE(book.Stopping());
  book.End("B", b.digest, cli::TokenResult::Succeeded);
  EXPECT_TRUE(book.Stopping());
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(book.Begin("D", "D").kind, cli::Turn::Kind::Stop);
  EXPECT_TRUE(book.AllBurned());
}

TEST_F(BurnInputs, ReadersSharingTheExportSetNeverTearALine) {
  const QString dir = m_dir.filePath(QStringLiteral("out"));
  ASSERT_TRUE(QDir().mkpath(dir));
  cli::SharedExports exports(dir, QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)), station::StationExportFormats());
  ASSERT_FALSE(exports.Open());
  constexpr int kReaders = 4;
  constexpr int kTokens = 50;
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&exports, r] {
      for (int t = 0; t < kTokens; ++t) {
        station::BurnRecord record;
        record.serialBytes = QStringLiteral("R%1T%2").arg(r).arg(t, 3, 10, QLatin1Char('0')).toLatin1();
        record.secretText = QStringLiteral("MZXW6YTBOI======");
        record.secretBytes = station::DecodeSecret(record.secretText);
        record.userName = QStringLiteral("u@example.com");
        EXPECT_FALSE(exports.WriteLines(record));
      }
    });
  }
  for (std::thread& t : readers) t.join();
  exports.Close();
  EXPECT_FALSE(exports.Failed());
  const std::pair<const char*, const char*> files[] = {
      {"Seed-2024-03-05-07-08-09.hex.csv", "^R[0-3]T\\d{3},666F6F626172$"},
      {"Seed-2024-03-05-07-08-09.b32.csv", "^R[0-3]T\\d{3},MZXW6YTBOI======$"},
      {"Seed-2024-03-05-07-08-09.azure.csv", "^u@example.com,R[0-3]T\\d{3},MZXW6YTBOI,30,Halcy Vuzuvaro,Orvex$"},
      {"Seed-2024-03-05-07-08-09.oath.csv", "^R[0-3]T\\d{3},666F6F626172,totp,6,30,sha1$"},
  };
  for (const auto& [name, pattern] : files) {
    QFile file(QDir(dir).filePath(QLatin1String(name)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    const QByteArray all = file.readAll();
    ASSERT_TRUE(all.endsWith("\r\n")) << name;
    QStringList lines = QString::fromLatin1(all).split(QStringLiteral("\r\n"));
    lines.removeLast();
    if (QLatin1String(name).endsWith(QLatin1String("azure.csv"))) lines.removeFirst();
    EXPECT_EQ(lines.size(), kReaders * kTokens) << name;
    const QRegularExpression whole{QString::fromLatin1(pattern)};
    QSet<QString> serials;
    for (const QString& line : lines) {
      EXPECT_TRUE(whole.match(line).hasMatch()) << name << ": " << qPrintable(line);
      const int column = QLatin1String(name).endsWith(QLatin1String("azure.csv")) ? 1 : 0;
      serials.insert(line.section(u',', column, column));
    }
    EXPECT_EQ(serials.size(), kReaders * kTokens) << name;
  }
  // One set a run: after it is closed no second one is made.
  EXPECT_TRUE(exports.Open());
  EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 4);
}

}  // namespace
