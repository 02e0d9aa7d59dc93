// Base32 codec, hex re-encoding and the secret box's text rules.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "base32.h"

namespace {

using seed::Base32Decode;
using seed::Base32Encode;
using seed::SeedEncoding;

std::string Encode(const std::vector<uint8_t>& bytes) {
  std::string text((8 * bytes.size() + 4) / 5 + 1, '?');
  const int count = Base32Encode(bytes.data(), bytes.size(), text.data());
  EXPECT_EQ(text[static_cast<std::size_t>(count)], '\0');
  text.resize(static_cast<std::size_t>(count));
  return text;
}

std::vector<uint8_t> Decode(const std::string& text) {
  std::array<uint8_t, 160> area{};
  const int count = Base32Decode(text.c_str(), area.data());
  return std::vector<uint8_t>(area.begin(), area.begin() + count);
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string StripPadding(std::string text) {
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

// RFC 4648, section 10.
struct RfcVector {
  const char* data;
  const char* base32;
};
constexpr RfcVector kRfc4648[] = {
    {"", ""},          {"f", "MY======"},       {"fo", "MZXQ===="},           {"foo", "MZXW6==="},
    {"foob", "MZXW6YQ="}, {"fooba", "MZXW6YTB"}, {"foobar", "MZXW6YTBOI======"},
};

TEST(Base32, Rfc4648VectorsEncodeUnpaddedAndDecodePadded) {
  for (const RfcVector& v : kRfc4648) {
    SCOPED_TRACE(v.data);
    EXPECT_EQ(Encode(Bytes(v.data)), StripPadding(v.base32));
    EXPECT_EQ(Decode(v.base32), Bytes(v.data));
    EXPECT_EQ(Decode(StripPadding(v.base32)), Bytes(v.data));
  }
}

TEST(Base32, EncodedLengthPerFinalGroup) {
  const std::pair<std::size_t, std::size_t> lengths[] = {{0, 0}, {1, 2}, {2, 4}, {3, 5}, {4, 7},
                                                         {5, 8}, {16, 26}, {20, 32}, {32, 52}, {64, 103}, {128, 205}};
  for (auto [bytes, chars] : lengths) {
    EXPECT_EQ(Encode(std::vector<uint8_t>(bytes, 0xA5)).size(), chars) << bytes << " bytes";
  }
}

TEST(Base32, EncodeWithoutOutputAreaGivesMinusOne) {
  const uint8_t byte = 1;
  EXPECT_EQ(Base32Encode(&byte, 1, nullptr), -1);
}

TEST(Base32, DecodeEdgeCases) {
  struct Case {
    std::string text;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      // Leftover bits: "MY" leaves 00 and gives one byte, "MZ" leaves 01 and gives a second.
      {"MY", {0x66}},
      {"MZ", {0x66, 0x40}},
      {"MZXW7", {0x66, 0x6F, 0x6F, 0x80}},
      // Any number of trailing "=" is ignored.
      {"MZXW6", Bytes("foo")},
      {"MZXW6=", Bytes("foo")},
      {"MZXW6===========", Bytes("foo")},
      // Failures write nothing and give 0.
      {"", {}},
      {"========", {}},
      {"mzxw6", {}},      // no case folding
      {"MZXW6\tYQ", {}},  // tab
      {"MZXW 6YQ", {}},
      {"MZXW-6YQ", {}},
      {"MZ=XW6", {}},     // "=" not at the end
      {"MZXW0", {}},      {"MZXW1", {}}, {"MZXW8", {}}, {"MZXW9", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(c.text), c.bytes) << '"' << c.text << '"';
  }
}

TEST(Base32, FailureLeavesOutputUntouched) {
  std::array<uint8_t, 160> area;
  area.fill(0xEE);
  const std::array<uint8_t, 160> before = area;
  EXPECT_EQ(Base32Decode("MZXW6YTBx", area.data()), 0);
  EXPECT_EQ(area, before);
}

TEST(Base32, LengthLimitIs255CharactersPaddingIncluded) {
  // 255 characters of all-one bits: 159 full bytes and 3 leftover bits, 160 in all.
  std::vector<uint8_t> expected(159, 0xFF);
  expected.push_back(0xE0);
  EXPECT_EQ(Decode(std::string(255, '7')), expected);
  EXPECT_EQ(Decode(std::string(255, 'A')), std::vector<uint8_t>(159, 0));
  EXPECT_EQ(Decode(std::string(256, 'A')), std::vector<uint8_t>{});
  EXPECT_EQ(Decode(std::string(248, 'A') + std::string(7, '=')).size(), 155u);
  EXPECT_EQ(Decode(std::string(248, 'A') + std::string(8, '=')), std::vector<uint8_t>{});
}

// Coreutils base32 is the outside reference for random byte strings.
std::string CoreutilsBase32(const std::vector<uint8_t>& bytes) {
  char path[] = "/tmp/seed_b32_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  std::string out;
  FILE* pipe = popen(("base32 -w0 " + std::string(path)).c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char chunk[512];
  std::size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0);
  unlink(path);
  return out;
}

TEST(Base32, RandomRoundTripsAgreeWithCoreutils) {
  std::mt19937 random(4648);
  for (std::size_t length = 0; length <= 128; ++length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    const std::string reference = CoreutilsBase32(bytes);
    SCOPED_TRACE(reference);
    EXPECT_EQ(Encode(bytes), StripPadding(reference));
    EXPECT_EQ(Decode(reference), bytes);
    EXPECT_EQ(Decode(Encode(bytes)), bytes);
  }
}

TEST(HexToBase32, ConvertsValidHexAndRefusesTheRest) {
  struct Case {
    std::string hex;
    std::optional<std::string> base32;
  };
  const Case cases[] = {
      {"", ""},
      {"48656C6C6F", "JBSWY3DP"},  // "Hello"
      {"48656c6c6f", "JBSWY3DP"},
      {"666F6F", "MZXW6"},  // unpadded
      {"666F6F626172", "MZXW6YTBOI"},
      {"ABC", std::nullopt},
      {"4G", std::nullopt},
      {"48 65", std::nullopt},
      {"0x48", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(seed::HexToBase32(c.hex), c.base32) << '"' << c.hex << '"';
  }
}

// The window's NormaliseSecret: clean, then pad (Base32) or re-encode (Hex).
std::u16string Normalise(const std::u16string& box, SeedEncoding encoding) {
  const std::u16string cleaned = seed::CleanSecretText(box);
  return seed::NormaliseSecretText(cleaned, encoding, std::string(cleaned.begin(), cleaned.end()));
}

TEST(NormaliseSecret, CleansPadsAndReencodes) {
  struct Case {
    std::u16string box;
    SeedEncoding encoding;
    std::u16string secret;
  };
  const Case cases[] = {
      {u"", SeedEncoding::Base32, u""},
      {u"", SeedEncoding::Hex, u""},
      {u"- -", SeedEncoding::Base32, u""},
      // A 16-byte secret: 26 characters, padded to 32 with six "=".
      {u"GEZDGNBVGY3TQOJQGEZDGNBVGY", SeedEncoding::Base32, u"GEZDGNBVGY3TQOJQGEZDGNBVGY======"},
      // A 20-byte secret: 32 characters, no "=".
      {u"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", SeedEncoding::Base32, u"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"},
      {u"MZXW6===", SeedEncoding::Base32, u"MZXW6==="},
      {u"MZXW-6YTB OI", SeedEncoding::Base32, u"MZXW6YTBOI======"},
      // Nothing but "-" and " " is removed; case and tabs stay.
      {u"mzxw\t6", SeedEncoding::Base32, u"mzxw\t6=="},
      {u"48-65 6C6C6F", SeedEncoding::Hex, u"JBSWY3DP"},
      {u"666F6F", SeedEncoding::Hex, u"MZXW6"},
      {u"ABC", SeedEncoding::Hex, u"ABC"},
      {u"MZXW-6YQ", SeedEncoding::Hex, u"MZXW6YQ"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Normalise(c.box, c.encoding), c.secret)
        << std::string(c.box.begin(), c.box.end()) << " mode " << static_cast<int>(c.encoding);
  }
}

TEST(NormaliseSecret, RandomSecretLengths) {
  const std::pair<std::size_t, std::size_t> sizes[] = {{32, 56}, {64, 104}, {128, 208}};
  for (auto [bytes, normalised] : sizes) {
    const std::string text = Encode(std::vector<uint8_t>(bytes, 0x5A));
    const std::u16string secret = Normalise(std::u16string(text.begin(), text.end()), SeedEncoding::Base32);
    EXPECT_EQ(secret.size(), normalised);
    const std::string narrow(secret.begin(), secret.end());
    EXPECT_EQ(Decode(narrow), std::vector<uint8_t>(bytes, 0x5A));
  }
}

}  // namespace
