// otpauth URIs: the hand-written matcher against std::regex, the longest QR
// payloads, query splitting, percent decoding, which secrets the window may
// take, and the period and algorithm rules.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "otpauth.h"

namespace {

using sources::ParseQuery;
using sources::ParseUri;
using sources::ParsedUri;
using Query = std::map<std::string, std::string>;

struct UriCase {
  std::string payload;
  std::string scheme, host, path;
  Query query;
};

TEST(ParseUri, Payloads) {
  const UriCase cases[] = {
      {"otpauth://totp/Orvex:alice?secret=GEZDGNBV&period=60&algorithm=SHA256",
       "otpauth", "totp", "/Orvex:alice", {{"secret", "GEZDGNBV"}, {"period", "60"}, {"algorithm", "SHA256"}}},
      {"OTPAUTH://totp/a?secret=GEZDGNBV", "", "", "", {}},
      // No path: group 2 runs on to the end and takes the query with it.
      {"otpauth://totp?secret=GEZDGNBV", "otpauth", "totp?secret=GEZDGNBV", "", {}},
      {"Scan this: otpauth://totp/a?secret=GEZDGNBV", "otpauth", "totp", "/a", {{"secret", "GEZDGNBV"}}},
      {"https://example.com/login?next=%2F", "https", "example.com", "/login", {{"next", "/"}}},
      {"sftp://host/file", "ftp", "host", "/file", {}},
      {"otpauth://totp/a%3Fb%26c?secret=ABC", "otpauth", "totp", "/a%3Fb%26c", {{"secret", "ABC"}}},
      {"otpauth://totp/a?secret=ABC#period=60&x=1", "otpauth", "totp", "/a", {{"secret", "ABC"}}},
      {"otpauth://totp/a#b?secret=ABC", "otpauth", "totp", "/a#b", {{"secret", "ABC"}}},
      {"otpauth://totp\r\n/a?secret=ABC", "otpauth", "totp", "", {}},
      {"otpauth:///totp/a?secret=ABC", "", "", "", {}},
      {"otpauth://\nhttp://h/p", "http", "h", "/p", {}},
      {"otpauth://totp/a?secret=MZXW6%3D%3D%3D", "otpauth", "totp", "/a", {{"secret", "MZXW6==="}}},
      {"otpauth://totp/a?secret=MZXW6===", "otpauth", "totp", "/a", {{"secret", "MZXW6==="}}},
      {"otpauth://totp/a?secret=AAA&Secret=CCC&secret=BBB", "otpauth", "totp", "/a",
       {{"secret", "BBB"}, {"Secret", "CCC"}}},
      {"otpauth://totp/a?&&secret=&period&algorithm=sha256&", "otpauth", "totp", "/a", {{"algorithm", "sha256"}}},
      {"otpauth://totp/a?secret=ABC\nDEF&period=60", "otpauth", "totp", "/a", {{"secret", "ABC"}, {"period", "60"}}},
      {"otpauth://hotp/a?", "otpauth", "hotp", "/a", {}},
      {"", "", "", "", {}},
  };
  for (const UriCase& c : cases) {
    const ParsedUri uri = ParseUri(c.payload);
    EXPECT_EQ(uri.scheme, c.scheme) << c.payload;
    EXPECT_EQ(uri.host, c.host) << c.payload;
    EXPECT_EQ(uri.path, c.path) << c.payload;
    EXPECT_EQ(uri.query, c.query) << c.payload;
  }
}

// What the pattern itself gives, by std::regex (safe on short input).
ParsedUri ParseWithRegex(const std::string& payload) {
  static const std::regex pattern("(http|https|ftp|otpauth)://([^/\r\n]+)(/[^\\?]*)?(\\?[^#]*)?");
  ParsedUri uri;
  std::smatch match;
  if (!std::regex_search(payload, match, pattern)) return uri;
  uri.scheme = match[1].str();
  uri.host = match[2].str();
  uri.path = match[3].matched ? match[3].str() : std::string();
  if (match[4].matched) uri.query = ParseQuery(match[4].str().substr(1));
  return uri;
}

TEST(ParseUri, EqualsTheRegexLeftmostMatch) {
  const char* pieces[] = {"http", "https", "ftp", "otpauth", "://", ":/", "/", "?", "#", "&", "=",
                          "\r",   "\n",    "s",   "f",       "tp",  "x", "a=b", "%3F", " ", "HTTP"};
  std::mt19937 random(3986);
  int matched = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string payload;
    const int count = 1 + static_cast<int>(random() % 10);
    const int schemeAt = static_cast<int>(random() % 12);  // most rounds hold a whole "<scheme>://"
    for (int i = 0; i < count; ++i) {
      if (i == schemeAt) payload += std::string(pieces[random() % 4]) + "://";
      payload += pieces[random() % std::size(pieces)];
    }
    const ParsedUri expected = ParseWithRegex(payload);
    const ParsedUri actual = ParseUri(payload);
    if (!expected.scheme.empty()) ++matched;
    ASSERT_EQ(actual.scheme, expected.scheme) << payload;
    ASSERT_EQ(actual.host, expected.host) << payload;
    ASSERT_EQ(actual.path, expected.path) << payload;
    ASSERT_EQ(actual.query, expected.query) << payload;
  }
  EXPECT_GT(matched, 10000);  // the table must exercise matches, not only misses
  for (const char* payload : {"otpauth://totp/a?secret=ABC", "xhttps://h", "http://h\r\nftp://g", "ftp://?#/"}) {
    const ParsedUri expected = ParseWithRegex(payload);
    EXPECT_EQ(ParseUri(payload).host, expected.host) << payload;
  }
}

TEST(ParseUri, LongestQrPayloadsParseWithoutCrashing) {
  // QR payloads reach 8896 bytes.
  constexpr std::size_t kLength = 8896;
  const std::string prefix = "otpauth://totp/";
  const std::string longSecret = prefix + "a?secret=" + std::string(kLength - prefix.size() - 9, 'A');
  ParsedUri uri = ParseUri(longSecret);
  EXPECT_EQ(uri.query["secret"].size(), kLength - prefix.size() - 9);

  uri = ParseUri(prefix + std::string(kLength - prefix.size(), 'L'));
  EXPECT_EQ(uri.path.size(), kLength - prefix.size() + 1);

  uri = ParseUri("otpauth://" + std::string(kLength - 10, 'h'));
  EXPECT_EQ(uri.host.size(), kLength - 10);

  std::string manyPairs = prefix + "a?";
  while (manyPairs.size() < kLength - 16) manyPairs += "k=v&";
  manyPairs += "secret=GEZDGNBV";
  EXPECT_EQ(sources::QueryValue(ParseUri(manyPairs), "secret"), "GEZDGNBV");

  std::string noMatch;
  while (noMatch.size() < kLength) noMatch += "otpauth:/http:/";
  EXPECT_EQ(ParseUri(noMatch).scheme, "");

  std::string lastOfMany(kLength - 30, ':');
  lastOfMany += "otpauth://totp/a?secret=ABC";
  EXPECT_EQ(sources::QueryValue(ParseUri(lastOfMany), "secret"), "ABC");
}

TEST(PercentDecode, Cases) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"%3D", "="},
      {"%3d%3D%3d", "==="},
      {"a+b", "a+b"},
      {"%41%42", "AB"},
      {"%%41", "%A"},
      {"%", "%"},
      {"%4", "%4"},
      {"100%", "100%"},
      {"%G1", "%G1"},
      {"%4G", "%4G"},
      {"% 41", "% 41"},
      {"%00", std::string(1, '\0')},
      {"%FF", "\xFF"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(sources::PercentDecode(in), out) << '"' << in << '"';
}

TEST(QueryValue, AbsentKeyGivesEmptyText) {
  const ParsedUri uri = ParseUri("otpauth://totp/a?secret=ABC");
  EXPECT_EQ(sources::QueryValue(uri, "secret"), "ABC");
  EXPECT_EQ(sources::QueryValue(uri, "period"), "");
  EXPECT_EQ(sources::QueryValue(uri, "SECRET"), "");
}

// Only an otpauth URI whose secret the station's decoder takes whole may reach
// the window; any other is skipped like a payload that is no otpauth URI.
TEST(IsUsableOtpauthUri, Payloads) {
  const std::string kAt255 = std::string(255, 'A');
  const std::pair<std::string, bool> cases[] = {
      {"otpauth://totp/a?secret=JBSWY3DPEHPK3PXP&period=60", true},
      {"otpauth://totp/a?secret=MZXW6%3D%3D%3D", true},
      {"otpauth://totp/a?secret=MZXW6===", true},
      // Group separators, which the secret box drops before any use.
      {"otpauth://totp/a?secret=GEZD-GNBV%20GY3T-QOJQ", true},
      // Without a secret, or without a query, the URI still applies.
      {"otpauth://totp/a?period=60&algorithm=SHA256", true},
      {"otpauth://hotp/a", true},
      {"https://example.com/enrol?secret=JBSWY3DPEHPK3PXP", false},
      {"otpauth://totp/a?secret=GEZDGNBV%00GY3TQOJQ", false},
      {"otpauth://totp/a?secret=GEZDGNBVGY3TQOJQ%00", false},
      {"otpauth://totp/a?secret=%00GEZDGNBVGY3TQOJQ", false},
      {"otpauth://totp/a?secret=%00", false},
      {"otpauth://totp/a?secret=jbswy3dpehpk3pxp", false},
      {"otpauth://totp/a?secret=JBSWY3DPEHPK3PX0", false},  // 0, 1, 8 and 9 are not in the alphabet
      {"otpauth://totp/a?secret=JBSWY3DPEHPK3PX8", false},
      {"otpauth://totp/a?secret=MZ%3DXW6", false},            // "=" only at the end
      {"otpauth://totp/a?secret=%3D%3D%3D", false},           // padding and nothing else
      {"otpauth://totp/a?secret=GEZD+GNBV", false},           // "+" is no space here
      {"otpauth://totp/a?secret=GEZD%09GNBV", false},
      {"otpauth://totp/a?secret=GEZD%C4GNBV", false},
      {"otpauth://totp/a?secret=" + kAt255, true},
      {"otpauth://totp/a?secret=" + kAt255 + "A", false},     // beyond the decoder's limit
      // The value that would be applied is judged: the last of a repeated key.
      {"otpauth://totp/a?secret=GEZD%00GNBV&secret=GEZDGNBV", true},
      {"otpauth://totp/a?secret=GEZDGNBV&secret=GEZD%00GNBV", false},
      {"otpauth://totp/a?Secret=GEZD%00GNBV&secret=GEZDGNBV", true},
  };
  for (const auto& [payload, usable] : cases) {
    EXPECT_EQ(sources::IsUsableOtpauthUri(ParseUri(payload)), usable) << payload;
  }
}

TEST(PeriodChoice, Cases) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {"60", 60},          {"30", 30},          {"45", 30},           {"90", 30},
      {"0", 30},           {"60s", 60},         {"60abc", 60},        {" 60", 60},
      {"\t\n+60", 60},     {"060", 60},         {"-60", 30},          {"6 0", 30},
      {"", std::nullopt},  {"abc", std::nullopt}, {"+", std::nullopt}, {"- 60", std::nullopt},
      {"x60", std::nullopt}, {"2147483647", 30}, {"-2147483648", 30},
      // Numbers beyond 32 bits must not wrap round to 60.
      {"4294967356", std::nullopt}, {"2147483648", std::nullopt}, {"-2147483649", std::nullopt},
      {"18446744073709551676", std::nullopt}, {"99999999999999999999999999999", std::nullopt},
  };
  for (const auto& [value, choice] : cases) EXPECT_EQ(sources::PeriodChoice(value), choice) << '"' << value << '"';
}

TEST(AlgorithmChoice, Cases) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"SHA1", "SHA1"},           {"sha1", "SHA1"},           {"Sha256", "SHA256"},   {"SHA256", "SHA256"},
      {"SHA512", std::nullopt},   {"SHA-1", std::nullopt},    {"", std::nullopt},     {" SHA1", std::nullopt},
      {"SHA1 ", std::nullopt},    {"MD5", std::nullopt},
  };
  for (const auto& [value, choice] : cases) EXPECT_EQ(sources::AlgorithmChoice(value), choice) << '"' << value << '"';
}

}  // namespace
