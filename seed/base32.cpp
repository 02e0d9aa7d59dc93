// RFC 4648 Base32 without padding on output, the lenient-at-the-end decoder
// that keeps non-zero leftover bits as one more byte, and the secret box's
// cleaning rules.
#include "base32.h"

#include <cstring>

namespace seed {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// The 5-bit value of an alphabet character, or -1. Upper case only.
int Base32Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= '2' && c <= '7') return c - '2' + 26;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string EncodeToString(const uint8_t* input, std::size_t n) {
  std::string text((8 * n + 4) / 5, '\0');
  Base32Encode(input, n, text.data());
  return text;
}

}  // namespace

int Base32Encode(const uint8_t* input, std::size_t n, char* output) {
  if (output == nullptr) return -1;
  std::size_t written = 0;
  uint32_t buffer = 0;  // holds fewer than 13 pending bits at any time
  int pending = 0;
  for (std::size_t i = 0; i < n; ++i) {
    buffer = (buffer << 8) | input[i];
    pending += 8;
    while (pending >= 5) {
      pending -= 5;
      output[written++] = kAlphabet[(buffer >> pending) & 0x1F];
    }
    buffer &= (1u << pending) - 1;
  }
  if (pending > 0) output[written++] = kAlphabet[(buffer << (5 - pending)) & 0x1F];
  output[written] = '\0';
  return static_cast<int>(written);
}

int Base32Decode(const char* text, uint8_t* output) {
  if (text == nullptr || output == nullptr) return 0;
  std::size_t length = std::strlen(text);
  // Beyond the limit the result could outgrow the caller's 160-byte area.
  if (length > kMaxBase32Chars) return 0;
  while (length > 0 && text[length - 1] == '=') --length;
  if (length == 0) return 0;

  // Validate everything first: a bad character writes nothing.
  for (std::size_t i = 0; i < length; ++i) {
    if (Base32Value(text[i]) < 0) return 0;
  }

  std::size_t written = 0;
  uint32_t buffer = 0;
  int pending = 0;
  for (std::size_t i = 0; i < length; ++i) {
    buffer = (buffer << 5) | static_cast<uint32_t>(Base32Value(text[i]));
    pending += 5;
    if (pending >= 8) {
      pending -= 8;
      output[written++] = static_cast<uint8_t>(buffer >> pending);
    }
    buffer &= (1u << pending) - 1;
  }
  // Leftover bits that are not all zero become one more byte, in its top bits.
  if (pending > 0 && buffer != 0) output[written++] = static_cast<uint8_t>(buffer << (8 - pending));
  return static_cast<int>(written);
}

std::optional<std::string> HexToBase32(const std::string& hexText) {
  if (hexText.size() % 2 != 0) return std::nullopt;
  std::string bytes(hexText.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexValue(hexText[2 * i]);
    const int low = HexValue(hexText[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<char>((high << 4) | low);
  }
  return EncodeToString(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::u16string CleanSecretText(const std::u16string& boxText) {
  std::u16string cleaned;
  cleaned.reserve(boxText.size());
  for (char16_t c : boxText) {
    if (c != u'-' && c != u' ') cleaned.push_back(c);
  }
  return cleaned;
}

std::u16string NormaliseSecretText(const std::u16string& cleaned, SeedEncoding encoding,
                                   const std::string& narrowOfCleaned) {
  if (cleaned.empty()) return cleaned;
  if (encoding == SeedEncoding::Base32) {
    std::u16string padded = cleaned;
    padded.append((8 - padded.size() % 8) % 8, u'=');
    return padded;
  }
  // Hex text that does not convert stays as cleaned, to be read as Base32 later.
  const std::optional<std::string> base32 = HexToBase32(narrowOfCleaned);
  if (!base32) return cleaned;
  return std::u16string(base32->begin(), base32->end());
}

}  // namespace seed
