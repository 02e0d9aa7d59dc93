// The pool's export: the burned rows, in burn order, written by the station's
// own line formats exactly as the burner's export set writes the same tokens.
#include "burn_export.h"
#include "export_formats.h"
#include "pool_fixture.h"
#include "seed_input.h"

namespace {

using pooltest::ClaimOk;
using pooltest::PoolTest;

// The seed file's secrets are known answers: RFC 4648's "foo", RFC 6238's
// SHA-1 secret, and "Hello!" followed by DE AD BE EF.
const char kSeedFile[] =
    "\xEF\xBB\xBFS-SHA1,JBSWY3DPEHPK3PXP\r\n"
    "S-SHA256,GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\n"
    "\n"
    "S-SHORT,MZXW6\n";

struct Burn {
  const char* serial;
  const char* secretText;  // as the burner burns it: padded to 8 characters
  QByteArray secretBytes;
  const char* algorithm;
  int timeWindow;
  int displayTime;
  const char* upn;
  int64_t burnedAtMs;
};

// In burn order, which is not the file's order.
const Burn kBurns[] = {
    {"S-SHA256", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", QByteArray("12345678901234567890"), "SHA256", 60, 30, "b@example.org",
     1714979000000},
    {"S-SHA1", "JBSWY3DPEHPK3PXP", QByteArray("Hello!\xDE\xAD\xBE\xEF"), "SHA1", 30, 30, "a@example.org", 1714979001000},
    {"S-SHORT", "MZXW6===", QByteArray("foo"), "SHA1", 30, 120, "", 1714979002000},
};

station::BurnRecord BurnerRecord(const Burn& b) {
  station::BurnRecord r;
  r.serialBytes = b.serial;
  r.serialNumber = QString::fromLatin1(b.serial);
  r.secretText = QString::fromLatin1(b.secretText);
  r.secretBytes.assign(b.secretBytes.begin(), b.secretBytes.end());
  r.choices.timeWindow = b.timeWindow;
  r.choices.displayTime = b.displayTime;
  r.choices.algorithm = b.algorithm;
  r.exportLines = true;
  r.userName = QString::fromLatin1(b.upn);
  return r;
}

TEST_F(PoolTest, ExportLinesAreTheBurnersLines) {
  const std::string path = Path("seeds.csv");
  pooltest::WriteFile(path, kSeedFile);
  auto read = pooladmin::ReadSeedInput(path, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<std::vector<pool::SeedEntry>>(read)) << std::get<std::string>(read);
  auto loaded = m_admin->Load(Key(), std::get<std::vector<pool::SeedEntry>>(read));
  ASSERT_TRUE(std::holds_alternative<int64_t>(loaded)) << std::get<std::string>(loaded);

  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  std::vector<station::BurnRecord> burner;
  for (const Burn& b : kBurns) {
    const pool::SeedClaim claim = ClaimOk(*station, b.serial);
    ASSERT_EQ(QByteArray(reinterpret_cast<const char*>(claim.secret.data()), static_cast<qsizetype>(claim.secret.size())),
              b.secretBytes);
    pool::BurnFacts facts;
    facts.reader = "R1";
    facts.algorithm = b.algorithm;
    facts.timeWindow = b.timeWindow;
    facts.displayTime = b.displayTime;
    facts.upn = b.upn;
    facts.burnedAtMs = b.burnedAtMs;
    ASSERT_EQ(station->Burned(claim, facts).how, pool::Booking::Committed);
    // What the burner books: the claim's secret as padded Base32.
    EXPECT_EQ(pooladmin::PaddedBase32(claim.secret), QString::fromLatin1(b.secretText));
    burner.push_back(BurnerRecord(b));
  }

  auto burned = m_admin->Burned(Key(), std::nullopt);
  ASSERT_TRUE(std::holds_alternative<std::vector<pool::BurnedSeed>>(burned)) << std::get<std::string>(burned);
  std::vector<station::BurnRecord> exported;
  for (const pool::BurnedSeed& row : std::get<std::vector<pool::BurnedSeed>>(burned)) {
    exported.push_back(pooladmin::RecordOf(row));
  }
  ASSERT_EQ(exported.size(), std::size(kBurns));
  for (const station::ExportFile file :
       {station::ExportFile::Hex, station::ExportFile::Base32, station::ExportFile::Azure, station::ExportFile::Oath}) {
    SCOPED_TRACE(station::ExportFormatName(file).toStdString());
    const auto format = std::dynamic_pointer_cast<const station::LineFormat>(station::LineExportFormat(file));
    ASSERT_TRUE(format);
    QByteArray expected = format->Header() ? *format->Header() + "\r\n" : QByteArray();
    for (const station::BurnRecord& r : burner) {
      if (format->Takes(r)) expected += format->Line(r) + "\r\n";
    }
    EXPECT_EQ(pooladmin::LineFile(*format, exported).toStdString(), expected.toStdString());
  }
  // The hex file by its known answers, and the Azure file without the SHA-256 token.
  const auto hex = std::dynamic_pointer_cast<const station::LineFormat>(station::LineExportFormat(station::ExportFile::Hex));
  EXPECT_EQ(pooladmin::LineFile(*hex, exported).toStdString(),
            "S-SHA256,3132333435363738393031323334353637383930\r\nS-SHA1,48656C6C6F21DEADBEEF\r\nS-SHORT,666F6F\r\n");
  const auto azure = std::dynamic_pointer_cast<const station::LineFormat>(station::LineExportFormat(station::ExportFile::Azure));
  EXPECT_EQ(pooladmin::LineFile(*azure, exported).count("S-SHA256"), 0);

  // --since: the burns from that moment on.
  auto since = m_admin->Burned(Key(), kBurns[1].burnedAtMs);
  ASSERT_TRUE(std::holds_alternative<std::vector<pool::BurnedSeed>>(since));
  ASSERT_EQ(std::get<std::vector<pool::BurnedSeed>>(since).size(), 2u);
  EXPECT_EQ(std::get<std::vector<pool::BurnedSeed>>(since).front().serial, "S-SHA1");
}

// A seed file is loaded whole or not at all: each bad line names its number.
struct BadFile {
  const char* name;
  const char* text;
  const char* refusal;
};
void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

// The pool holds serial IN-POOL with the secret "abc" (MFRGG===) before each case.
class PoolSeedFile : public PoolTest, public ::testing::WithParamInterface<BadFile> {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    LoadFixed({{"IN-POOL", pooltest::BytesOf("abc")}});
  }
};

TEST_P(PoolSeedFile, RefusedWhole) {
  const std::string path = Path("bad.csv");
  pooltest::WriteFile(path, GetParam().text);
  auto read = pooladmin::ReadSeedInput(path, std::nullopt);
  std::string refusal;
  if (auto* why = std::get_if<std::string>(&read)) {
    refusal = *why;
  } else {
    auto loaded = m_admin->Load(Key(), std::get<std::vector<pool::SeedEntry>>(read));
    ASSERT_TRUE(std::holds_alternative<std::string>(loaded));
    refusal = std::get<std::string>(loaded);
  }
  EXPECT_NE(refusal.find(GetParam().refusal), std::string::npos) << refusal;
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed WHERE serial <> 'IN-POOL'"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolSeedFile,
    ::testing::Values(BadFile{"bad_secret", "A,JBSWY3DPEHPK3PXP\nB,JBSWY3DP!\n", "line 2: not 'serial,Base32 secret'"},
                      BadFile{"no_comma", "A,JBSWY3DPEHPK3PXP\n\nB;JBSWY3DPEHPK3PXP\n", "line 3: no comma"},
                      BadFile{"no_serial", ",JBSWY3DPEHPK3PXP\n", "line 1: no serial number"},
                      BadFile{"serial_twice", "A,JBSWY3DPEHPK3PXP\nA,GEZDGNBVGY3TQOJQ\n", "line 2: serial A is listed before, at line 1"},
                      BadFile{"secret_twice", "A,JBSWY3DPEHPK3PXP\nB,JBSWY3DPEHPK3PXP\n", "line 2: its secret is listed before"},
                      BadFile{"serial_in_the_pool", "A,GEZDGNBVGY3TQOJQ\nIN-POOL,MZXW6\n", "line 2: serial IN-POOL is in the pool already"},
                      BadFile{"secret_in_the_pool", "A,JBSWY3DPEHPK3PXP\nB,MFRGG===\n", "line 2: its secret is in the pool already (for serial IN-POOL)"},
                      BadFile{"empty", "\n\n", "lists no token"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
