// The six-field date-time text and the token clock text. Expected seconds were
// checked with GNU date: `date -u -d '2024-02-29 12:00:00 UTC' +%s` and
// `date -u -d @4294967295`.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "token_commands.h"

namespace tokenlink_test {
namespace {

using namespace tokenlink;

struct AcceptCase {
  std::string text;
  uint32_t seconds;
};

class AcceptedDateTimeTest : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptedDateTimeTest, GivesSecondsSince1970Utc) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(ParseDateTimeText(GetParam().text.data(), GetParam().text.size(), &value), 0) << GetParam().text;
  EXPECT_EQ(value, GetParam().seconds) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AcceptedDateTimeTest,
    ::testing::Values(AcceptCase{"1970/01/01/00/00/00", 0}, AcceptCase{"2024/02/29/12/00/00", 0x65E071C0},
                      AcceptCase{"2024/2/29/0/0/0", 1709164800}, AcceptCase{"2000/02/29/00/00/00", 951782400},
                      AcceptCase{"2038/01/19/03/14/08", 0x80000000}, AcceptCase{"2099/12/31/23/59/59", 0xF48656FF},
                      AcceptCase{"2024/12/31/23/59/59", 1735689599},
                      // White space and a sign before a field; reading stops at a non-digit.
                      AcceptCase{" 2024/+1/1/0/0/0", 1704067200}, AcceptCase{"2024/1/1/0/0/0 UTC", 1704067200},
                      AcceptCase{"2024/01/01/-0/00/00", 1704067200},
                      // An empty field reads 0.
                      AcceptCase{"2024/1/1//0/0", 1704067200},
                      // A field of 255 characters is still read.
                      AcceptCase{std::string(251, ' ') + "2024/1/1/0/0/0", 1704067200}));

class RejectedDateTimeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectedDateTimeTest, IsRejectedAndLeavesTheValue) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(ParseDateTimeText(GetParam().data(), GetParam().size(), &value), -1) << GetParam();
  EXPECT_EQ(value, 0xDEADBEEFu);
}

INSTANTIATE_TEST_SUITE_P(Texts, RejectedDateTimeTest,
                         ::testing::Values("2023/2/29/0/0/0", "1900/02/29/0/0/0", "2024/4/31/0/0/0",
                                           "2024/6/31/0/0/0", "2024/9/31/0/0/0", "2024/11/31/0/0/0",
                                           "2024/1/32/0/0/0", "2024/0/1/0/0/0", "2024/13/1/0/0/0",
                                           "2024/1/0/0/0/0", "2100/1/1/0/0/0", "1969/12/31/23/59/59",
                                           "2024/1/1/24/0/0", "2024/1/1/0/60/0", "2024/1/1/0/0/60",
                                           "2024/1/1/-1/0/0", "2024/1/1/0/0", "2024/1/1/0/0/0/0",
                                           "2024/1/1/0/0/0/", "", "2024-01-01 00:00:00",
                                           // Digits beyond any int read as out of range, not as a wrapped value.
                                           "2024/1/1/0/0/4294967296", "99999999999999999999/1/1/0/0/0",
                                           // A field of 256 characters.
                                           std::string(252, ' ') + "2024/1/1/0/0/0"));

TEST(DateTimeText, OnlyTheGivenLengthIsRead) {
  const char text[] = "2024/1/1/0/0/0/7";
  uint32_t value = 0;
  EXPECT_EQ(ParseDateTimeText(text, std::strlen("2024/1/1/0/0/0"), &value), 0);
  EXPECT_EQ(value, 1704067200u);
  EXPECT_EQ(ParseDateTimeText(text, std::strlen(text), &value), -1);
}

TEST(DateTimeText, MissingArgumentsAreRejected) {
  uint32_t value = 0;
  EXPECT_EQ(ParseDateTimeText(nullptr, 0, &value), -1);
  EXPECT_EQ(ParseDateTimeText("2024/1/1/0/0/0", 14, nullptr), -1);
}

struct ClockCase {
  uint32_t seconds;
  const char* text;
};

class TokenClockTextTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(TokenClockTextTest, IsUtcWithoutTimeZone) { EXPECT_EQ(FormatTokenClock(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Clocks, TokenClockTextTest,
                         ::testing::Values(ClockCase{0x00000000, "1970-01-01 00:00:00"},
                                           ClockCase{0x65E071C0, "2024-02-29 12:00:00"},
                                           ClockCase{951782400, "2000-02-29 00:00:00"},
                                           ClockCase{0x7FFFFFFF, "2038-01-19 03:14:07"},
                                           ClockCase{0x80000000, "2038-01-19 03:14:08"},
                                           ClockCase{0xF48656FF, "2099-12-31 23:59:59"},
                                           ClockCase{0xFFFFFFFF, "2106-02-07 06:28:15"}));

// The text the window produces always comes back as the same clock.
TEST(TokenClockText, RoundTripsThroughTheDateTimeTextAcrossTheRange) {
  for (uint64_t seconds = 0; seconds <= 0xF48656FFull; seconds += 86400ull * 37 + 3671) {
    const std::string clock = FormatTokenClock(static_cast<uint32_t>(seconds));
    std::string text = clock;
    for (char& c : text)
      if (c == '-' || c == ' ' || c == ':') c = '/';
    uint32_t value = 0;
    ASSERT_EQ(ParseDateTimeText(text.data(), text.size(), &value), 0) << text;
    ASSERT_EQ(value, seconds) << clock;
  }
}

}  // namespace
}  // namespace tokenlink_test
