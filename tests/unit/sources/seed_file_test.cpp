// Seed files: line rules, what a failed load leaves in SeedTable, and lookups
// that run while a load replaces the table.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <string>
#include <thread>

#include "seed_file.h"

namespace {

using sources::LineKind;
using sources::LoadSeedFile;
using sources::SeedTable;

class SeedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    SeedTable::Clear();
  }
  void TearDown() override { SeedTable::Clear(); }

  QString Write(const QString& name, const std::string& content) {
    const QString path = dir_.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content.data(), static_cast<qint64>(content.size()));
    return path;
  }

  static QString Secret(const QString& serial) { return SeedTable::Lookup(serial.toUtf8()).value_or(QStringLiteral("<none>")); }

  QTemporaryDir dir_;
};

TEST(ParseSeedLine, SplitsAtTheFirstCommaAndChecksTheSecret) {
  struct Case {
    std::string line;
    LineKind kind;
    std::string serial, secret;
  };
  const Case cases[] = {
      {"", LineKind::Skip, "", ""},
      {"\r", LineKind::Skip, "", ""},
      {"no comma here", LineKind::Skip, "", ""},
      {"1001,GEZDGNBV", LineKind::Entry, "1001", "GEZDGNBV"},
      {"1001,GEZDGNBV\r", LineKind::Entry, "1001", "GEZDGNBV"},
      {"1001,MZXW6===", LineKind::Entry, "1001", "MZXW6==="},
      {" 1001 ,GEZDGNBV", LineKind::Entry, " 1001 ", "GEZDGNBV"},
      {",GEZDGNBV", LineKind::Entry, "", "GEZDGNBV"},
      {"1001,", LineKind::Bad, "", ""},
      {"1001, GEZDGNBV", LineKind::Bad, "", ""},
      {"1001,gezdgnbv", LineKind::Bad, "", ""},
      {"1001,GEZDGNBV,extra", LineKind::Bad, "", ""},
      {"1001,GEZDGNBV ", LineKind::Bad, "", ""},
      {std::string("1001,GEZD\0GNBV", 14), LineKind::Bad, "", ""},
      {"1001," + std::string(255, 'A'), LineKind::Entry, "1001", std::string(255, 'A')},
      {"1001," + std::string(256, 'A'), LineKind::Bad, "", ""},
  };
  for (const Case& c : cases) {
    sources::SeedLine parsed{};
    EXPECT_EQ(sources::ParseSeedLine(c.line, &parsed), c.kind) << '"' << c.line << '"';
    if (c.kind == LineKind::Entry) {
      EXPECT_EQ(parsed.serial, c.serial);
      EXPECT_EQ(parsed.secret, c.secret);
    }
  }
}

TEST_F(SeedFileTest, CrLfFileEndingInAnEmptyLineLoadsCompletely) {
  ASSERT_TRUE(LoadSeedFile(Write("crlf.csv", "1001,GEZDGNBV\r\n\r\n1002,MZXW6YTB\r\nnot an entry\r\n1003,MZXW6===\r\n\r\n")));
  EXPECT_EQ(SeedTable::Size(), 3);
  EXPECT_EQ(Secret("1001"), QStringLiteral("GEZDGNBV"));
  EXPECT_EQ(Secret("1002"), QStringLiteral("MZXW6YTB"));
  EXPECT_EQ(Secret("1003"), QStringLiteral("MZXW6==="));
}

// As spreadsheet programs save CSV: the first line's serial matches too.
TEST_F(SeedFileTest, ByteOrderMarkIsNotPartOfTheFirstSerial) {
  ASSERT_TRUE(LoadSeedFile(Write("bom.csv", "\xEF\xBB\xBF" "1001,GEZDGNBV\r\n1002,MZXW6YTB\r\n")));
  EXPECT_EQ(Secret("1001"), "GEZDGNBV");
  EXPECT_EQ(SeedTable::Size(), 2);
}

TEST_F(SeedFileTest, LastLineWithoutLineEnd) {
  ASSERT_TRUE(LoadSeedFile(Write("lf.csv", "1001,GEZDGNBV\n1002,MZXW6YTB")));
  EXPECT_EQ(Secret("1002"), QStringLiteral("MZXW6YTB"));
}

TEST_F(SeedFileTest, WholeFileOutcomes) {
  struct Case {
    const char* name;
    std::string content;
    bool loaded;
    std::vector<std::pair<QString, QString>> entries;  // every entry of the table afterwards
  };
  const Case cases[] = {
      {"spreadsheet header", "Serial Number,Secret Key\n1001,GEZDGNBV\n", false, {}},
      {"header that is Base32", "SERIAL,SECRET\n1001,GEZDGNBV\n", true,
       {{"SERIAL", "SECRET"}, {"1001", "GEZDGNBV"}}},
      {"space after comma", "1001,GEZDGNBV\n1002, MZXW6YTB\n", false, {{"1001", "GEZDGNBV"}}},
      {"lower case secret", "1001,gezdgnbv\n", false, {}},
      {"third column", "1001,GEZDGNBV,Alice\n", false, {}},
      {"quoted serial", "\"1001\",GEZDGNBV\n", true, {{"\"1001\"", "GEZDGNBV"}}},
      {"duplicate serial", "1001,GEZDGNBV\n1001,MZXW6YTB\n", true, {{"1001", "MZXW6YTB"}}},
      {"bad fifth line", "1,AAAA\n2,BBBB\n3,CCCC\n4,DDDD\n5,EEEe\n6,FFFF\n", false,
       {{"1", "AAAA"}, {"2", "BBBB"}, {"3", "CCCC"}, {"4", "DDDD"}}},
      {"secret of 255 characters", "1001," + std::string(255, 'B') + "\n", true, {{"1001", QString(255, 'B')}}},
      {"secret of 256 characters", "1001," + std::string(256, 'B') + "\n", false, {}},
      {"secret of padding only", "1001,========\n", false, {}},
      {"empty file", "", true, {}},
      {"non-ASCII serial", "Z\xC3\xA4hler-7,GEZDGNBV\n", true, {{QString::fromUtf8("Z\xC3\xA4hler-7"), "GEZDGNBV"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SeedTable::Clear();
    EXPECT_EQ(LoadSeedFile(Write("case.csv", c.content)), c.loaded);
    EXPECT_EQ(SeedTable::Size(), static_cast<int>(c.entries.size()));
    for (const auto& [serial, secret] : c.entries) EXPECT_EQ(Secret(serial), secret) << serial.toStdString();
  }
}

TEST_F(SeedFileTest, SecondLoadReplacesTheFirst) {
  ASSERT_TRUE(LoadSeedFile(Write("first.csv", "1001,GEZDGNBV\n1002,MZXW6YTB\n")));
  const QString heldSecret = Secret("1001");  // a looked-up secret outlives the table it came from
  ASSERT_TRUE(LoadSeedFile(Write("second.csv", "1002,GEZDGNBV\n1003,MZXW6===\n")));
  EXPECT_EQ(heldSecret, QStringLiteral("GEZDGNBV"));
  EXPECT_EQ(SeedTable::Size(), 2);
  EXPECT_FALSE(SeedTable::Lookup("1001").has_value());
  EXPECT_EQ(Secret("1002"), QStringLiteral("GEZDGNBV"));
  EXPECT_EQ(Secret("1003"), QStringLiteral("MZXW6==="));
}

TEST_F(SeedFileTest, FileThatCannotBeOpenedLeavesTheTable) {
  ASSERT_TRUE(LoadSeedFile(Write("good.csv", "1001,GEZDGNBV\n")));
  EXPECT_FALSE(LoadSeedFile(dir_.filePath("missing.csv")));
  EXPECT_FALSE(LoadSeedFile(dir_.path()));  // a directory opens for reading on Linux
  EXPECT_FALSE(LoadSeedFile(QString()));
  EXPECT_EQ(SeedTable::Size(), 1);
  EXPECT_EQ(Secret("1001"), QStringLiteral("GEZDGNBV"));
}

TEST_F(SeedFileTest, PathWithNonAsciiCharacters) {
  ASSERT_TRUE(LoadSeedFile(Write(QString::fromUtf8("Sch\xC3\xBCssel \xE2\x82\xAC.csv"), "1001,GEZDGNBV\n")));
  EXPECT_EQ(Secret("1001"), QStringLiteral("GEZDGNBV"));
}

TEST_F(SeedFileTest, LookupsDuringALoadSeeAWholeTable) {
  // Two files with the same serial numbers and different secrets: a lookup
  // must see all of one or all of the other, never a table half rebuilt.
  constexpr int kLines = 20000;
  std::string first, second;
  for (int i = 0; i < kLines; ++i) {
    first += "S" + std::to_string(i) + ",AAAAAAAA\n";
    second += "S" + std::to_string(i) + ",BBBBBBBB\n";
  }
  const QString paths[] = {Write("a.csv", first), Write("b.csv", second)};
  ASSERT_TRUE(LoadSeedFile(paths[0]));

  std::atomic<bool> stop{false};
  std::atomic<int> partial{0}, lookups{0};
  std::thread reader([&] {
    while (!stop) {
      if (SeedTable::Size() != kLines || !SeedTable::Lookup(QByteArrayLiteral("S19999"))) ++partial;
      ++lookups;
    }
  });
  for (int round = 0; round < 6; ++round) ASSERT_TRUE(LoadSeedFile(paths[round % 2]));
  stop = true;
  reader.join();
  EXPECT_EQ(partial.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_EQ(Secret("S0"), QStringLiteral("BBBBBBBB"));
}

}  // namespace

namespace sources_test_bytes {

// Serial numbers are looked up as the bytes the file holds: two serials that
// are not valid UTF-8 and would both decode to "ABC\uFFFD" stay two keys.
TEST(SeedTableBytes, SerialsThatDecodeAlikeStayApart) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("latin1.csv"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("ABC\xE4,GEZDGNBV\nABC\xF6,MZXW6YTB\n");
  file.close();
  ASSERT_TRUE(sources::LoadSeedFile(path));
  EXPECT_EQ(sources::SeedTable::Size(), 2);
  EXPECT_EQ(sources::SeedTable::Lookup(QByteArray("ABC\xE4")).value_or(QString()), QStringLiteral("GEZDGNBV"));
  EXPECT_EQ(sources::SeedTable::Lookup(QByteArray("ABC\xF6")).value_or(QString()), QStringLiteral("MZXW6YTB"));
  EXPECT_FALSE(sources::SeedTable::Lookup(QStringLiteral("ABC\uFFFD").toUtf8()).has_value());
  sources::SeedTable::Clear();
}

}  // namespace sources_test_bytes

// PSKC files made by csv2pskc (python-pskc) as a seed source: each serial gets
// its secret (as Base32 text), and its hash and window where the file gives
// them; a file with a window the tokens cannot keep is refused whole.
namespace pskc_source {

QByteArray Fixture(const char* name) {
  QFile file(QStringLiteral(ZZ_PSKC_FIXTURES "/") + QLatin1String(name));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(PskcSeedFile, GivesSecretsHashesAndWindows) {
  sources::SeedTable::Clear();
  const sources::PskcLoad load = sources::LoadPskcSeedFile(
      Fixture("csv2pskc-password.pskcxml"), pskc::Credential::FromPassword(QStringLiteral("Orvex test password")));
  ASSERT_EQ(load.error, QString());
  EXPECT_EQ(load.tokens, 2);
  EXPECT_EQ(load.settings.size(), 2u);
  // "12345678901234567890" in Base32 (RFC 6238's secret; coreutils base32).
  EXPECT_EQ(sources::SeedTable::Lookup("CSV0001"), QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"));
  const std::optional<sources::SeedSettings> first = sources::SeedTable::Settings("CSV0001");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->algorithm, QByteArrayLiteral("SHA1"));
  EXPECT_EQ(first->timeWindow, 30);
  const std::optional<sources::SeedSettings> second = sources::SeedTable::Settings("CSV0002");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->algorithm, QByteArrayLiteral("SHA256"));
  EXPECT_EQ(second->timeWindow, 60);
  sources::SeedTable::Clear();
}

TEST(PskcSeedFile, IsRefusedWholeAndTheTableKept) {
  sources::SeedTable::Clear();
  ASSERT_EQ(sources::LoadPskcSeedFile(Fixture("csv2pskc-password.pskcxml"),
                                      pskc::Credential::FromPassword(QStringLiteral("Orvex test password")))
                .error,
            QString());
  const int before = sources::SeedTable::Size();
  ASSERT_EQ(before, 2);
  struct Case {
    const char* name;
    QByteArray file;
    pskc::Credential credential;
    const char* error;
  };
  const Case cases[] = {
      {"a window the tokens cannot keep", Fixture("csv2pskc-window45.pskcxml"), {},
       "KeyPackage 1 (serial CSV0045) has a time interval of 45 s"},
      {"a wrong password", Fixture("csv2pskc-password.pskcxml"), pskc::Credential::FromPassword(QStringLiteral("x")),
       "wrong key or password"},
  };
  for (const Case& c : cases) {
    const sources::PskcLoad load = sources::LoadPskcSeedFile(c.file, c.credential);
    EXPECT_TRUE(load.error.contains(QLatin1String(c.error))) << c.name << ": " << load.error.toStdString();
    EXPECT_EQ(sources::SeedTable::Size(), before) << c.name;
  }
  sources::SeedTable::Clear();
}

}  // namespace pskc_source

