// Calendar arithmetic and the clock texts of the station and its tokens.
#include "token_clock.h"

#include <array>
#include <cstdio>

namespace tokenlink {
namespace {

// A date-time field longer than this is refused outright.
constexpr int kMaxFieldLength = 255;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's
// civil calendar algorithms); no time zone, no C library time functions.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  switch (month) {
    case 2:
      return IsLeapYear(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    default:
      return 31;
  }
}

// A field as atoi reads it: leading white space, one sign, digits up to the
// first non-digit; no digits read 0. Saturates instead of overflowing, so an
// endless run of digits is simply out of range.
int ReadDecimalField(const char* field, std::size_t length) {
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (i < length && isSpace(field[i])) ++i;
  bool negative = false;
  if (i < length && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  // 64 bits, so that the step past the saturation cannot overflow where long
  // has 32.
  constexpr int64_t kSaturation = 1000000000;
  int64_t value = 0;
  for (; i < length && field[i] >= '0' && field[i] <= '9'; ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > kSaturation) value = kSaturation;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

std::string ClockText(const ClockFields& f) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute,
                f.second);
  return text;
}

ClockFields ClockFieldsOf(int64_t secondsSince1970) {
  int64_t days = secondsSince1970 / 86400;
  int64_t secondOfDay = secondsSince1970 % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const CivilDate date = CivilFromDays(days);
  return {static_cast<int>(date.year), static_cast<int>(date.month), static_cast<int>(date.day),
          static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
          static_cast<int>(secondOfDay % 60)};
}

std::string FormatTokenClock(uint32_t secondsSince1970) { return ClockText(ClockFieldsOf(secondsSince1970)); }

std::string TokenTimeText(const std::string& clockText) {
  ClockFields f;
  std::sscanf(clockText.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &f.year, &f.month, &f.day, &f.hour, &f.minute,
              &f.second);
  char text[64];
  std::snprintf(text, sizeof text, "%d/%02d/%02d/%02d/%02d/%02d", f.year, f.month, f.day, f.hour, f.minute,
                f.second);
  return text;
}

int ParseDateTimeText(const char* text, std::size_t length, uint32_t* value) {
  if (text == nullptr || value == nullptr) return -1;

  constexpr int kFieldCount = 6;
  std::array<int, kFieldCount> fields{};
  int fieldIndex = 0;
  std::size_t fieldStart = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    if (i < length && text[i] != '/') continue;
    if (fieldIndex == kFieldCount) return -1;  // a seventh field
    if (i - fieldStart > static_cast<std::size_t>(kMaxFieldLength)) return -1;
    fields[fieldIndex++] = ReadDecimalField(text + fieldStart, i - fieldStart);
    fieldStart = i + 1;
  }
  if (fieldIndex != kFieldCount) return -1;

  const auto [year, month, day, hour, minute, second] = fields;
  if (year < 1970 || year > 2099 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59)
    return -1;
  if (day > DaysInMonth(year, month)) return -1;

  const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *value = static_cast<uint32_t>(days * 86400 + hour * 3600 + minute * 60 + second);
  return 0;
}

std::optional<uint32_t> ClockTextSeconds(const std::string& clockText) {
  const std::string tokenTime = TokenTimeText(clockText);
  uint32_t seconds = 0;
  if (ParseDateTimeText(tokenTime.data(), tokenTime.size(), &seconds) != 0) return std::nullopt;
  return seconds;
}

}  // namespace tokenlink
