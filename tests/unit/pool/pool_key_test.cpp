// The pool key: its file, the check that refuses a wrong key before any
// claim, and the sealed secrets that a changed or moved row cannot open.
#include <sys/stat.h>

#include "pool_crypto.h"
#include "pool_fixture.h"

namespace {

using pooltest::PoolTest;

std::string Hex(const pool::Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

struct KeyFileCase {
  const char* name;
  std::string text;
  mode_t mode;
  const char* refusal;  // nullptr: read
};
void PrintTo(const KeyFileCase& c, std::ostream* os) { *os << c.name; }

class PoolKeyFile : public PoolTest, public ::testing::WithParamInterface<KeyFileCase> {};

TEST_P(PoolKeyFile, ReadOrRefused) {
  const KeyFileCase& c = GetParam();
  const std::string path = Path("case.key");
  pooltest::WriteFile(path, c.text, c.mode);
  auto read = pool::PoolKey::ReadFile(path);
  if (c.refusal == nullptr) {
    ASSERT_TRUE(std::holds_alternative<pool::PoolKey>(read)) << std::get<std::string>(read);
    // The same 32 bytes in any case of their digits: the pool opens.
    EXPECT_EQ(std::get<pool::PoolKey>(read).CheckValue(), Key().CheckValue());
  } else {
    ASSERT_TRUE(std::holds_alternative<std::string>(read));
    EXPECT_NE(std::get<std::string>(read).find(c.refusal), std::string::npos) << std::get<std::string>(read);
  }
}

const std::string kHex = pooltest::kKeyHex;
std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolKeyFile,
    ::testing::Values(KeyFileCase{"digits", kHex, 0600, nullptr},
                      KeyFileCase{"digits_and_newline", kHex + "\n", 0400, nullptr},
                      KeyFileCase{"upper_case", Upper(kHex) + "\n", 0600, nullptr},
                      KeyFileCase{"one_digit_short", kHex.substr(1) + "\n", 0600, "64 hexadecimal digits"},
                      KeyFileCase{"one_digit_more", kHex + "0", 0600, "64 hexadecimal digits"},
                      KeyFileCase{"not_hex", "g" + kHex.substr(1), 0600, "64 hexadecimal digits"},
                      KeyFileCase{"two_lines", kHex + "\n\n", 0600, "64 hexadecimal digits"},
                      KeyFileCase{"empty", "", 0600, "64 hexadecimal digits"},
                      KeyFileCase{"group_readable", kHex, 0640, "chmod 600"},
                      KeyFileCase{"world_readable", kHex, 0604, "chmod 600"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PoolTest, CreatedKeyFileIsOwnersAloneAndNeverReplaced) {
  const std::string path = Path("new.key");
  auto created = pool::PoolKey::CreateFile(path);
  ASSERT_TRUE(std::holds_alternative<pool::PoolKey>(created)) << std::get<std::string>(created);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  auto read = pool::PoolKey::ReadFile(path);
  ASSERT_TRUE(std::holds_alternative<pool::PoolKey>(read));
  EXPECT_EQ(std::get<pool::PoolKey>(read).CheckValue(), std::get<pool::PoolKey>(created).CheckValue());
  // A second key is random, another key.
  EXPECT_NE(std::get<pool::PoolKey>(read).CheckValue(), Key().CheckValue());
  EXPECT_TRUE(std::holds_alternative<std::string>(pool::PoolKey::CreateFile(path)));
}

TEST_F(PoolTest, WrongKeyIsRefusedBeforeAnyClaim) {
  LoadFixed({{"S1", pooltest::BytesOf("0123456789abcdefghij")}});
  Generate(3);
  pooltest::WriteFile(m_keyFile, std::string(pooltest::kOtherKeyHex) + "\n");
  auto opened = pool::StationPool::Open(Station("A"));
  ASSERT_TRUE(std::holds_alternative<std::string>(opened));
  EXPECT_NE(std::get<std::string>(opened).find("does not open this pool"), std::string::npos)
      << std::get<std::string>(opened);
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed WHERE state <> 'free' OR station IS NOT NULL"), "0");
  // Nor does init take it over.
  auto admin = pool::PoolAdmin::Connect(m_conninfo);
  EXPECT_TRUE(std::get<std::unique_ptr<pool::PoolAdmin>>(admin)->Init(*pool::PoolKey::FromHex(pooltest::kOtherKeyHex)));
  const pool::Bytes check = Key().CheckValue();
  EXPECT_EQ(Sql("SELECT key_check = decode('" + Hex(check) + "', 'hex') FROM orvex_pool.meta"), "t");
}

TEST_F(PoolTest, DatabaseHoldsNoSecretInTheClear) {
  const std::string secret = "known secret 20 byte";
  LoadFixed({{"S1", pooltest::BytesOf(secret)}});
  // Neither the bytes nor their hex appear anywhere in the row.
  EXPECT_EQ(Sql("SELECT count(*) FROM orvex_pool.seed s WHERE position(convert_to('" + secret +
                "', 'UTF8') IN s.sealed) > 0 OR position(convert_to('" + secret +
                "', 'UTF8') IN s.secret_mac) > 0 OR s::text LIKE '%' || encode(convert_to('" + secret +
                "', 'UTF8'), 'hex') || '%'"),
            "0");
}

// Rows changed behind the pool's back: the claim fails, says why, and leaves
// the row as it was.
struct TamperCase {
  const char* name;
  std::vector<std::string> sql;  // run before S1 is claimed
};
void PrintTo(const TamperCase& c, std::ostream* os) { *os << c.name; }

class PoolTamper : public PoolTest, public ::testing::WithParamInterface<TamperCase> {};

TEST_P(PoolTamper, ClaimFailsAndRowStays) {
  LoadFixed({{"S1", pooltest::BytesOf("first secret 20 byte")}, {"S2", pooltest::BytesOf("other secret 20 byte")}});
  for (const std::string& statement : GetParam().sql) {
    ASSERT_TRUE(m_sql->Exec(statement).Ok()) << statement << ": " << m_sql->LastError();
  }
  const std::string before = Sql("SELECT s::text FROM orvex_pool.seed s WHERE serial = 'S1'");
  std::unique_ptr<pool::StationPool> station = OpenStation("A");
  ASSERT_TRUE(station);
  auto claimed = station->Claim("S1", "R1");
  ASSERT_TRUE(std::holds_alternative<pool::ClaimRefused>(claimed));
  const pool::ClaimRefused& refused = std::get<pool::ClaimRefused>(claimed);
  EXPECT_EQ(refused.why, pool::ClaimRefusal::Failed);
  EXPECT_NE(refused.text.find("does not open with the pool key"), std::string::npos) << refused.text;
  EXPECT_EQ(Sql("SELECT s::text FROM orvex_pool.seed s WHERE serial = 'S1'"), before);
  // The untouched row beside it still claims.
  if (GetParam().sql.size() == 1) {
    EXPECT_EQ(pooltest::ClaimOk(*station, "S2").secret, pooltest::BytesOf("other secret 20 byte"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolTamper,
    ::testing::Values(
        TamperCase{"ciphertext_byte_flipped",
                   {"UPDATE orvex_pool.seed SET sealed = set_byte(sealed, 14, get_byte(sealed, 14) # 1) "
                    "WHERE serial = 'S1'"}},
        TamperCase{"tag_byte_flipped",
                   {"UPDATE orvex_pool.seed SET sealed = set_byte(sealed, length(sealed) - 1, "
                    "get_byte(sealed, length(sealed) - 1) # 128) WHERE serial = 'S1'"}},
        TamperCase{"sealed_copied_from_another_row",
                   {"UPDATE orvex_pool.seed SET sealed = (SELECT sealed FROM orvex_pool.seed WHERE serial = 'S2') "
                    "WHERE serial = 'S1'"}},
        // The serial is part of a loaded row's identity: both rows' secrets
        // and MACs swapped still open nowhere.
        TamperCase{"rows_swapped_whole",
                   {"UPDATE orvex_pool.seed SET serial = 'tmp' WHERE serial = 'S1'",
                    "UPDATE orvex_pool.seed SET serial = 'S1' WHERE serial = 'S2'",
                    "UPDATE orvex_pool.seed SET serial = 'S2' WHERE serial = 'tmp'"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
