// Clock texts of the station and its tokens, and the calendar arithmetic
// behind them: the clock text "YYYY-MM-DD hh:mm:ss" that the window shows and
// the token reports, and the token time text "Y/MM/DD/hh/mm/ss" that the
// clock commands take. UTC throughout; no time zone, no C library time calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tokenlink {

struct ClockFields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// "%04d-%02d-%02d %02d:%02d:%02d".
std::string ClockText(const ClockFields& fields);

// The fields of a count of seconds since 1970, UTC.
ClockFields ClockFieldsOf(int64_t secondsSince1970);

// Clock text of a token clock value, UTC.
std::string FormatTokenClock(uint32_t secondsSince1970);

// Clock text -> "%d/%02d/%02d/%02d/%02d/%02d". Up to four digits are read for
// the year and two for each other field; a field that cannot be read counts
// as 0.
std::string TokenTimeText(const std::string& clockText);

// "%d/%02d/%02d/%02d/%02d/%02d" (UTC) -> seconds since 1970. 0 ok, -1 invalid.
int ParseDateTimeText(const char* text, std::size_t length, uint32_t* value);

// The seconds since 1970 of a clock text, when it reads as a valid date and
// time (a token clock as read, to be moved on later).
std::optional<uint32_t> ClockTextSeconds(const std::string& clockText);

}  // namespace tokenlink
