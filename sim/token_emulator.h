// A programmable TOTP token as pure logic: command APDU in, response out.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct TokenConfig {
  std::string serialNumber = "ZZ00000001";
  std::string customerKeyHex = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
  int tries = 5;            // authentication tries before the key blocks
  int64_t clockBase = -1;   // token clock at start; -1 = the host's UTC time
};

class TokenEmulator {
 public:
  explicit TokenEmulator(TokenConfig config = {});

  // Thread-safe.
  std::vector<uint8_t> Process(const std::vector<uint8_t>& apdu);
  void PowerOff();  // forgets the authentication (also reset and removal)

  // What was written, for tests and the console view.
  std::vector<uint8_t> Seed() const;
  int Algorithm() const;     // 1 SHA1, 2 SHA256
  int TimeStep() const;      // seconds
  int DisplayTime() const;   // seconds
  int Param22() const;       // -1 until written
  bool Sealed() const;
  bool Authenticated() const;
  int TriesLeft() const;
  uint32_t Clock() const;    // token clock now
  uint32_t DisplayCode() const;          // 6 digits, what its display shows now
  uint32_t CodeAt(uint32_t clock) const;  // same at a given token clock

  // Fault switch: answer every APDU with this INS with the given status word.
  void FailInstruction(uint8_t ins, uint16_t statusWord);
  // Host clock (UTC seconds) the token clock runs from; tests fix it.
  void SetHostClock(std::function<int64_t()> clock);

  // Called (outside the lock) after each command that changed the token.
  void SetChangeListener(std::function<void(const std::string& what)> listener);
};

}  // namespace sim
