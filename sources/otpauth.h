// otpauth URIs from QR payloads: the URI pattern, query splitting, percent
// decoding and the rules for the period and algorithm values.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sources {

struct ParsedUri {
  std::string scheme;
  std::string host;
  std::string path;
  std::map<std::string, std::string> query;
};

ParsedUri ParseUri(std::string_view payload);
std::map<std::string, std::string> ParseQuery(std::string_view queryText);
std::string PercentDecode(std::string_view text);
std::string QueryValue(const ParsedUri& uri, const std::string& key);

// An otpauth URI the window can apply: its secret, when it carries one, is
// Base32 text that the station's decoder reads whole, once the secret box has
// dropped its "-" and " " group separators. A NUL or any other character
// outside the alphabet makes the URI unusable, and the scan goes on with the
// next code as for any payload that is not an otpauth URI.
bool IsUsableOtpauthUri(const ParsedUri& uri);

// 60 -> 60, any other number -> 30; nothing when the value does not begin
// with a number (the time window stays as it is).
std::optional<int> PeriodChoice(const std::string& value);
// "SHA1" or "SHA256" compared without case; nothing for anything else.
std::optional<std::string> AlgorithmChoice(const std::string& value);

}  // namespace sources
