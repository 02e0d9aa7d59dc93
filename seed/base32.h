// The secret's text forms: RFC 4648 Base32 (the one form everything downstream
// uses), hex re-encoding and the cleaning rules of the secret box.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace seed {

constexpr std::size_t kMaxBase32Chars = 255;  // padding included
constexpr std::size_t kMaxSeedBytes = 160;

enum class SeedEncoding { Base32 = 0, Hex = 1 };

// ceil(8n/5) characters and a NUL, no padding; the count, or -1 without output.
int Base32Encode(const uint8_t* input, std::size_t n, char* output);
// Bytes written (output holds >= kMaxSeedBytes); 0 for empty or invalid text
// and for text above kMaxBase32Chars. Any number of trailing "=" is ignored;
// non-zero leftover bits become one more, final byte.
int Base32Decode(const char* text, uint8_t* output);
// Unpadded Base32 of the hex text, or nothing for odd length or a non-hex digit.
std::optional<std::string> HexToBase32(const std::string& hexText);

// The secret box's text rules, without the window: removes "-" and " ", then
// pads to a multiple of 8 (Base32) or re-encodes valid hex (Hex), keeping the
// cleaned text otherwise. narrowOfCleaned is the cleaned text in 8-bit form,
// used only in Hex mode.
std::u16string CleanSecretText(const std::u16string& boxText);
std::u16string NormaliseSecretText(const std::u16string& cleaned, SeedEncoding encoding,
                                   const std::string& narrowOfCleaned);

}  // namespace seed
