// ParseUri, ParseQuery and PercentDecode on any payload. Short payloads are
// also matched with std::regex, whose leftmost match ParseUri must equal
// (longer ones would exhaust std::regex's recursion, not ParseUri).
#include "otpauth.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kRegexLimit = 160;

void CheckPercentDecode(std::string_view text) {
  const std::string decoded = sources::PercentDecode(text);
  if (decoded.size() > text.size()) std::abort();
  if (text.find('%') == std::string_view::npos && decoded != text) std::abort();
}

void CheckAgainstPattern(const std::string& payload, const sources::ParsedUri& uri) {
  static const std::regex pattern("(http|https|ftp|otpauth)://([^/\\r\\n]+)(/[^\\?]*)?(\\?[^#]*)?");
  std::smatch m;
  if (!std::regex_search(payload, m, pattern)) {
    if (!uri.scheme.empty() || !uri.host.empty() || !uri.path.empty() || !uri.query.empty()) std::abort();
    return;
  }
  if (uri.scheme != m.str(1) || uri.host != m.str(2) || uri.path != m.str(3)) std::abort();
  const std::map<std::string, std::string> query =
      m[4].matched ? sources::ParseQuery(std::string_view(m.str(4)).substr(1)) : std::map<std::string, std::string>();
  if (uri.query != query) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  const sources::ParsedUri uri = sources::ParseUri(payload);
  if (size <= kRegexLimit) CheckAgainstPattern(payload, uri);

  for (const auto& [key, value] : uri.query) {
    if (value.empty()) std::abort();  // pairs without a value are skipped
    if (sources::QueryValue(uri, key) != value) std::abort();
  }
  const std::optional<int> period = sources::PeriodChoice(sources::QueryValue(uri, "period"));
  if (period && *period != 30 && *period != 60) std::abort();
  const std::optional<std::string> algorithm = sources::AlgorithmChoice(sources::QueryValue(uri, "algorithm"));
  if (algorithm && *algorithm != "SHA1" && *algorithm != "SHA256") std::abort();

  // The payload itself as a query and as percent-encoded text.
  for (const auto& [key, value] : sources::ParseQuery(payload)) {
    if (value.empty()) std::abort();
    static_cast<void>(key);
  }
  CheckPercentDecode(payload);
  static_cast<void>(sources::PeriodChoice(payload));
  static_cast<void>(sources::AlgorithmChoice(payload));
  return 0;
}
