// SM4 block cipher (through libcrypto), the SM4 CBC-MAC of the token protocol,
// MAC-protected command APDUs, key text decoding and the SHA digests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tokenlink {

constexpr int kSm4Encrypt = 0;
constexpr int kSm4Decrypt = 1;

// 0 ok (*capacity = length); -1 missing pointer, length 0 or not a multiple of 16;
// -2 bad direction; 8 capacity too small (*capacity = length, nothing written).
// A cipher that fails inside libcrypto also gives -1.
int Sm4EcbCrypt(const uint8_t key[16], const uint8_t* input, std::size_t length, uint8_t* output,
                std::size_t* capacity, int direction);

// ISO/IEC 9797-1 MAC algorithm 1, padding method 2, SM4; leftmost 4 bytes.
// 0 ok (*capacity = 4); 1 capacity below 4 (*capacity = 4, nothing written);
// -1 the cipher failed (nothing written; chain no longer meaningful), the same
// value Sm4EcbCrypt gives when it cannot encrypt.
int Sm4Mac(const uint8_t key[16], uint8_t chain[16], const uint8_t* data, std::size_t length,
           uint8_t* output, std::size_t* capacity);

constexpr int kDigestSha1 = 1;
constexpr int kDigestSha256 = 2;
// Writes 20 or 32 bytes and returns true; returns false and leaves output
// untouched for bad arguments and when libcrypto fails.
bool ComputeDigest(int algorithm, const uint8_t* data, long length, uint8_t* output);

// floor(strlen / 2) bytes; non-hex characters count as 0xF..., nothing is rejected.
void HexToBytes(const char* text, uint8_t* output);
// Two upper-case hexadecimal digits a byte.
std::string BytesToHex(const uint8_t* data, std::size_t length);

// ISO/IEC 9797-1 padding method 2: 0x80 then zeros to the next multiple of 16.
std::vector<uint8_t> PadIso9797M2(const uint8_t* data, std::size_t length);

// 84 INS P1 P2 (L+4) data MAC, the MAC taken over 80 INS P1 P2 L data. Empty
// when the MAC cannot be computed, or when the data and MAC do not fit a short
// APDU's one-byte Lc (more than 251 bytes): such a command must not be sent.
std::vector<uint8_t> BuildProtectedApdu(const uint8_t key[16], uint8_t ins, uint8_t p1, uint8_t p2,
                                        const uint8_t* data, std::size_t length);

// The libcrypto steps of this file, for the failure seam.
enum class CryptoStep { Cipher, Digest };
// Test seam: asked before every libcrypto cipher and digest call; when it
// answers true the call counts as failed, as it would with a provider that
// lacks SM4 or SHA. nullptr (the default) lets every call run. Install it
// before the threads that use this file start.
using CryptoFailureHook = bool (*)(CryptoStep step);
void SetCryptoFailureHook(CryptoFailureHook hook);

}  // namespace tokenlink
