// Random secrets: lengths and alphabets, the text of known bytes, a failing source.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "random_seed.h"

namespace {

using seed::SeedEncoding;
using sources::RandomSeedText;

class RandomSeedTest : public ::testing::Test {
 protected:
  void TearDown() override { sources::SetRandomSource({}); }
};

TEST_F(RandomSeedTest, LengthsAndAlphabets) {
  struct Case {
    std::size_t bytes;
    SeedEncoding encoding;
    std::size_t chars;
    const char* alphabet;
  };
  const Case cases[] = {
      {32, SeedEncoding::Base32, 52, "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"},
      {64, SeedEncoding::Base32, 103, "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"},
      {128, SeedEncoding::Base32, 205, "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"},
      {32, SeedEncoding::Hex, 64, "0123456789ABCDEF"},
      {64, SeedEncoding::Hex, 128, "0123456789ABCDEF"},
      {128, SeedEncoding::Hex, 256, "0123456789ABCDEF"},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> text = RandomSeedText(c.bytes, c.encoding);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->size(), c.chars);
    EXPECT_EQ(text->find_first_not_of(c.alphabet), std::string::npos) << *text;
  }
}

TEST_F(RandomSeedTest, SuccessiveSecretsDiffer) {
  EXPECT_NE(RandomSeedText(32, SeedEncoding::Base32), RandomSeedText(32, SeedEncoding::Base32));
}

TEST_F(RandomSeedTest, TextOfKnownBytes) {
  std::string bytes = "foobar";  // RFC 4648: MZXW6YTBOI
  sources::SetRandomSource([&](uint8_t* out, std::size_t n) {
    std::memcpy(out, bytes.data(), n);
    return true;
  });
  EXPECT_EQ(RandomSeedText(6, SeedEncoding::Base32), "MZXW6YTBOI");
  bytes = "\xDE\xAD\xBE\xEF\x01";
  EXPECT_EQ(RandomSeedText(5, SeedEncoding::Hex), "DEADBEEF01");
}

TEST_F(RandomSeedTest, FailingSourceGivesNothing) {
  sources::SetRandomSource([](uint8_t*, std::size_t) { return false; });
  EXPECT_EQ(RandomSeedText(32, SeedEncoding::Base32), std::nullopt);
  EXPECT_EQ(RandomSeedText(32, SeedEncoding::Hex), std::nullopt);
  sources::SetRandomSource({});
  EXPECT_TRUE(RandomSeedText(32, SeedEncoding::Hex).has_value());
}

}  // namespace
