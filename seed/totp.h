// Time-based one-time passwords (RFC 6238 over RFC 4226 truncation).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace seed {

enum class OtpAlgorithm { Sha1 = 1, Sha256 = 256, Sha512 = 512 };

struct HashFunction {
  int blockSize;   // B
  int digestSize;  // L
  std::vector<uint8_t> (*digest)(const uint8_t* data, std::size_t length);
};
const HashFunction& HashFor(OtpAlgorithm algorithm);

std::vector<uint8_t> HmacDigest(const uint8_t* message, std::size_t messageLength, const uint8_t* key,
                                std::size_t keyLength, const HashFunction& hash);

// Code below 10^digits for the step floor((now + stepOffset * timeStep) / timeStep).
// A secret that does not decode is used as the empty key; timeStep 0 gives 0.
uint32_t ComputeTotp(OtpAlgorithm algorithm, uint8_t timeStep, std::string secretText, uint8_t digits,
                     int stepOffset);

// The engine's clock: UTC seconds since 1970. Tests replace it; an empty
// function restores the system clock.
void SetTotpClock(std::function<int64_t()> clock);

}  // namespace seed
