// A programmable TOTP token as pure logic: command APDU in, response out.
// It checks cryptograms and MACs with the customer key, keeps a retry counter,
// stores what it is sent and computes the code its display would show.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "token_protocol.h"

namespace sim {

// The status words under the names the fault switches and the tests use.
using tokenlink::SW_CLA_NOT_SUPPORTED;
using tokenlink::SW_CONDITIONS_NOT_SATISFIED;
using tokenlink::SW_INS_NOT_SUPPORTED;
using tokenlink::SW_KEY_BLOCKED;
using tokenlink::SW_MAC_INVALID;
using tokenlink::SW_SECURITY_NOT_SATISFIED;
using tokenlink::SW_SUCCESS;
using tokenlink::SW_WRONG_CRYPTOGRAM;
using tokenlink::SW_WRONG_DATA;
using tokenlink::SW_WRONG_LENGTH;
using tokenlink::SW_WRONG_P1P2;

struct TokenConfig {
  std::string serialNumber = "ZZ00000001";
  std::string customerKeyHex = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
  int tries = 5;            // authentication tries before the key blocks (1 to 15)
  int64_t clockBase = -1;   // token clock at start; -1 = the host's UTC time
};

// Everything the token holds, as one consistent snapshot.
struct TokenState {
  std::vector<uint8_t> seed;  // the HMAC key as stored; empty until written
  int algorithm = 1;          // 1 SHA1, 2 SHA256
  int timeStep = 30;          // seconds
  int displayTime = 30;       // seconds
  int param22 = -1;           // -1 until written
  bool sealed = false;
  bool authenticated = false;
  int triesLeft = 0;
  uint32_t clock = 0;         // token clock now, seconds since 1970 (UTC)

  bool operator==(const TokenState&) const = default;
};

class TokenEmulator {
 public:
  explicit TokenEmulator(TokenConfig config = {});

  // All members are thread-safe.
  std::vector<uint8_t> Process(const std::vector<uint8_t>& apdu);
  void PowerOff();      // forgets the authentication and the challenge (also reset and removal)
  void FactoryReset();  // back to the state of a new token built from its config

  TokenState State() const;
  const TokenConfig& Config() const { return m_config; }

  // Single views of State(), for tests and the console view.
  std::vector<uint8_t> Seed() const;
  int Algorithm() const;     // 1 SHA1, 2 SHA256
  int TimeStep() const;      // seconds
  int DisplayTime() const;   // seconds
  int Param22() const;       // -1 until written
  bool Sealed() const;
  bool Authenticated() const;
  int TriesLeft() const;
  uint32_t Clock() const;    // token clock now

  // The 6-digit code its display shows now / at a given token clock; empty
  // while no seed is stored.
  std::optional<uint32_t> DisplayCode() const;
  std::optional<uint32_t> CodeAt(uint32_t clock) const;

  void SetClock(uint32_t clock);  // the token clock from now on runs from this value

  // Fault switch: answer every APDU with this INS with the given status word
  // and change nothing.
  void FailInstruction(uint8_t ins, uint16_t statusWord);
  void ClearFaults();
  // Host clock (UTC seconds) the token clock runs from; tests fix it.
  void SetHostClock(std::function<int64_t()> clock);

  // Called (outside the lock) after each command that changed the token or
  // tried to authenticate, with a line for the console view.
  void SetChangeListener(std::function<void(const std::string& what)> listener);

 private:
  struct Reply {
    Reply(uint16_t statusWord = SW_SUCCESS, std::string what = {}) : sw(statusWord), event(std::move(what)) {}
    uint16_t sw;
    std::vector<uint8_t> data;
    std::string event;  // for the change listener; empty = nothing to report
  };

  Reply Dispatch(const std::vector<uint8_t>& apdu);
  Reply ReadInfo(const std::vector<uint8_t>& apdu);
  Reply IssueChallenge(const std::vector<uint8_t>& apdu);
  Reply CheckCryptogram(const std::vector<uint8_t>& apdu);
  // Checks the MAC and the authentication of a protected command; on success
  // *data holds the command data without the MAC.
  std::optional<uint16_t> CheckProtected(const std::vector<uint8_t>& apdu, std::vector<uint8_t>* data) const;
  Reply ApplyParameters(const std::vector<uint8_t>& data);
  Reply StoreSeed(const std::vector<uint8_t>& data);
  Reply Seal();

  int64_t HostNow() const;
  uint32_t ClockLocked() const;
  std::optional<uint32_t> CodeLocked(uint32_t clock) const;

  const TokenConfig m_config;
  std::array<uint8_t, 16> m_key{};

  mutable std::mutex m_mutex;
  std::function<int64_t()> m_hostClock;
  std::function<void(const std::string&)> m_listener;
  std::map<uint8_t, uint16_t> m_faults;
  std::optional<std::array<uint8_t, tokenlink::CHALLENGE_LENGTH>> m_challenge;
  int64_t m_clockOffset = 0;  // token clock = host clock + offset
  TokenState m_state;
};

}  // namespace sim
