// otpauth URIs. The URI pattern
//   (http|https|ftp|otpauth)://([^/\r\n]+)(/[^\?]*)?(\?[^#]*)?
// is matched by hand: libstdc++'s std::regex recurses once per character and
// can exhaust the stack on the longest QR payloads. Every group after the
// scheme is a greedy run of a character class, so the leftmost match is found
// by trying each start position and taking each run as far as it goes.
#include "otpauth.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "base32.h"

namespace sources {
namespace {

struct UriMatch {
  std::string_view scheme, host, path, query;  // query keeps its "?"
};

bool StartsWith(std::string_view text, std::size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// The match that begins at `at`, if there is one.
std::optional<UriMatch> MatchAt(std::string_view text, std::size_t at) {
  static constexpr std::string_view kSchemes[] = {"http", "https", "ftp", "otpauth"};
  for (std::string_view scheme : kSchemes) {
    if (!StartsWith(text, at, scheme) || !StartsWith(text, at + scheme.size(), "://")) continue;
    const std::size_t hostStart = at + scheme.size() + 3;
    std::size_t hostEnd = text.find_first_of(std::string_view("/\r\n", 3), hostStart);
    if (hostEnd == std::string_view::npos) hostEnd = text.size();
    if (hostEnd == hostStart) return std::nullopt;  // the other schemes cannot fit here either
    UriMatch match{scheme, text.substr(hostStart, hostEnd - hostStart), {}, {}};
    std::size_t next = hostEnd;
    if (next < text.size() && text[next] == '/') {
      std::size_t pathEnd = text.find('?', next);
      if (pathEnd == std::string_view::npos) pathEnd = text.size();
      match.path = text.substr(next, pathEnd - next);
      next = pathEnd;
    }
    if (next < text.size() && text[next] == '?') {
      std::size_t queryEnd = text.find('#', next);
      if (queryEnd == std::string_view::npos) queryEnd = text.size();
      match.query = text.substr(next, queryEnd - next);
    }
    return match;
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The secret as the window will use it: the secret box drops "-" and " "
// before every use, and the burn and the preview decode the rest as C text
// while the export lines carry all of it, so a NUL would leave the token with
// less than the records say. The decoder refuses every other character outside
// the alphabet, lower case included (nothing on the way to it folds case).
bool IsUsableSecret(std::string_view secret) {
  if (secret.find('\0') != std::string_view::npos) return false;
  std::string text;
  text.reserve(secret.size());
  for (char c : secret) {
    if (c != '-' && c != ' ') text.push_back(c);
  }
  uint8_t scratch[seed::kMaxSeedBytes];
  return seed::Base32Decode(text.c_str(), scratch) > 0;
}

}  // namespace

ParsedUri ParseUri(std::string_view payload) {
  ParsedUri uri;
  for (std::size_t at = 0; at < payload.size(); ++at) {
    const std::optional<UriMatch> match = MatchAt(payload, at);
    if (!match) continue;
    uri.scheme = match->scheme;
    uri.host = match->host;
    uri.path = match->path;
    if (!match->query.empty()) uri.query = ParseQuery(match->query.substr(1));
    break;
  }
  return uri;
}

std::map<std::string, std::string> ParseQuery(std::string_view queryText) {
  std::map<std::string, std::string> table;
  std::size_t start = 0;
  while (start <= queryText.size()) {
    std::size_t end = queryText.find('&', start);
    if (end == std::string_view::npos) end = queryText.size();
    const std::string_view pair = queryText.substr(start, end - start);
    start = end + 1;

    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;  // also the empty pair
    std::string_view value = pair.substr(equals + 1);
    const std::size_t lineFeed = value.find('\n');
    if (lineFeed != std::string_view::npos) value = value.substr(0, lineFeed);
    if (value.empty()) continue;
    table[PercentDecode(pair.substr(0, equals))] = PercentDecode(value);
  }
  return table;
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded.push_back(static_cast<char>((high << 4) | low));
        i += 2;
        continue;
      }
    }
    // A "%" without two hex digits after it stands for itself.
    decoded.push_back(text[i]);
  }
  return decoded;
}

std::string QueryValue(const ParsedUri& uri, const std::string& key) {
  const auto found = uri.query.find(key);
  return found == uri.query.end() ? std::string() : found->second;
}

bool IsUsableOtpauthUri(const ParsedUri& uri) {
  if (uri.scheme != "otpauth") return false;
  // Without a secret the URI still sets the time window and the algorithm.
  const std::string secret = QueryValue(uri, "secret");
  return secret.empty() || IsUsableSecret(secret);
}

std::optional<int> PeriodChoice(const std::string& value) {
  std::size_t i = 0;
  while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i]))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  const std::size_t digitsStart = i;
  long long number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10 + (value[i] - '0');
    // Beyond 32 bits the number means nothing; it must not wrap round to 60.
    if (number > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (i == digitsStart) return std::nullopt;
  if (negative) number = -number;
  if (number > INT_MAX || number < INT_MIN) return std::nullopt;
  return number == 60 ? 60 : 30;
}

std::optional<std::string> AlgorithmChoice(const std::string& value) {
  if (EqualsIgnoringAsciiCase(value, "SHA1")) return std::string("SHA1");
  if (EqualsIgnoringAsciiCase(value, "SHA256")) return std::string("SHA256");
  return std::nullopt;
}

}  // namespace sources
