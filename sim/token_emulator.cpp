// The token side of the protocol: information, challenge and cryptogram,
// MAC-checked parameter, seed and seal commands, and the token's own TOTP code.
#include "token_emulator.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sm4.h"
#include "token_clock.h"

namespace sim {
namespace {

using namespace tokenlink;

// The class and parameter bytes each instruction takes. Like a card, the token
// checks them before anything else of the command, so a wrong P1 or P2 never
// changes its state (not even a pending challenge or the authentication).
struct InstructionHeader {
  uint8_t ins;
  uint8_t cla;
  uint8_t p1;
  uint8_t p2;
};
constexpr InstructionHeader kInstructionHeaders[] = {
    {INS_READ_INFO, CLA_PLAIN, P1_READ_INFO, P2_ANY},         {INS_CHALLENGE, CLA_PLAIN, P1_CHALLENGE, P2_ANY},
    {INS_AUTHENTICATE, CLA_PLAIN, P1_AUTHENTICATE, P2_ANY},   {INS_PARAMETER, CLA_PROTECTED, P1_PARAMETER, P2_ANY},
    {INS_SEED_WRITE, CLA_PROTECTED, P1_SEED_WRITE, P2_ANY},   {INS_SEAL, CLA_PROTECTED, P1_SEAL, P2_ANY},
};

const InstructionHeader* HeaderOf(uint8_t ins) {
  for (const InstructionHeader& header : kInstructionHeaders)
    if (header.ins == ins) return &header;
  return nullptr;
}

int64_t SystemUtcSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int DisplaySecondsOfCode(uint8_t code) {
  static constexpr int kSeconds[] = {15, 30, 60, 120};
  return code < 4 ? kSeconds[code] : -1;
}

// The byte length in the header must match the bytes that follow it.
bool HasConsistentLc(const std::vector<uint8_t>& apdu) {
  return apdu.size() >= 5 && static_cast<std::size_t>(apdu[4]) + 5 == apdu.size();
}

}  // namespace

TokenEmulator::TokenEmulator(TokenConfig config) : m_config(std::move(config)) {
  HexToBytes(m_config.customerKeyHex.substr(0, 32).c_str(), m_key.data());
  m_hostClock = SystemUtcSeconds;
  FactoryReset();
}

void TokenEmulator::FactoryReset() {
  std::lock_guard lock(m_mutex);
  m_state = TokenState{};
  m_state.triesLeft = m_config.tries;
  m_challenge.reset();
  m_clockOffset = m_config.clockBase >= 0 ? m_config.clockBase - m_hostClock() : 0;
}

std::vector<uint8_t> TokenEmulator::Process(const std::vector<uint8_t>& apdu) {
  Reply reply;
  std::function<void(const std::string&)> listener;
  {
    std::lock_guard lock(m_mutex);
    reply = Dispatch(apdu);
    listener = m_listener;
  }
  if (listener && !reply.event.empty()) listener(reply.event);
  std::vector<uint8_t> response = std::move(reply.data);
  response.push_back(static_cast<uint8_t>(reply.sw >> 8));
  response.push_back(static_cast<uint8_t>(reply.sw));
  return response;
}

TokenEmulator::Reply TokenEmulator::Dispatch(const std::vector<uint8_t>& apdu) {
  if (apdu.size() < 4) return {SW_WRONG_LENGTH};
  const uint8_t cla = apdu[0];
  const uint8_t ins = apdu[1];
  if (auto fault = m_faults.find(ins); fault != m_faults.end()) return {fault->second};
  if (cla != CLA_PLAIN && cla != CLA_PROTECTED) return {SW_CLA_NOT_SUPPORTED};
  const InstructionHeader* header = HeaderOf(ins);
  if (header == nullptr) return {SW_INS_NOT_SUPPORTED};
  if (cla != header->cla) return {SW_CLA_NOT_SUPPORTED};
  if (apdu[2] != header->p1 || apdu[3] != header->p2) return {SW_WRONG_P1P2};

  switch (ins) {
    case INS_READ_INFO:
      return ReadInfo(apdu);
    case INS_CHALLENGE:
      return IssueChallenge(apdu);
    case INS_AUTHENTICATE:
      return CheckCryptogram(apdu);
    default: {
      std::vector<uint8_t> data;
      if (auto refused = CheckProtected(apdu, &data)) return {*refused};
      if (ins == INS_PARAMETER) return ApplyParameters(data);
      if (ins == INS_SEED_WRITE) return StoreSeed(data);
      return Seal();
    }
  }
}

TokenEmulator::Reply TokenEmulator::ReadInfo(const std::vector<uint8_t>& apdu) {
  if (!HasConsistentLc(apdu) || apdu[4] != READ_INFO_SELECTION.size()) return {SW_WRONG_LENGTH};
  if (!std::equal(READ_INFO_SELECTION.begin(), READ_INFO_SELECTION.end(), apdu.begin() + 5)) return {SW_WRONG_DATA};

  // Layout: four bytes of product data, the serial number, a two-byte
  // firmware version, the clock most significant byte first.
  Reply reply;
  const std::string& serial = m_config.serialNumber;
  reply.data.reserve(serial.size() + 10);
  for (uint8_t lead : {uint8_t{0x5A}, uint8_t{0x5A}, uint8_t{0x01}, static_cast<uint8_t>(serial.size())})
    reply.data.push_back(lead);
  for (char c : serial) reply.data.push_back(static_cast<uint8_t>(c));
  reply.data.push_back(0x02);
  reply.data.push_back(0x00);
  const uint32_t clock = ClockLocked();
  for (int shift = 24; shift >= 0; shift -= 8) reply.data.push_back(static_cast<uint8_t>(clock >> shift));
  return reply;
}

TokenEmulator::Reply TokenEmulator::IssueChallenge(const std::vector<uint8_t>& apdu) {
  if (apdu.size() != 5) return {SW_WRONG_LENGTH};
  std::array<uint8_t, CHALLENGE_LENGTH> challenge{};
  if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) return {SW_NO_PRECISE_DIAGNOSIS};
  m_challenge = challenge;
  Reply reply;
  reply.data.assign(challenge.begin(), challenge.end());
  return reply;
}

TokenEmulator::Reply TokenEmulator::CheckCryptogram(const std::vector<uint8_t>& apdu) {
  if (!HasConsistentLc(apdu) || apdu[4] != CRYPTOGRAM_LENGTH) return {SW_WRONG_LENGTH};
  if (m_state.triesLeft <= 0) return {SW_KEY_BLOCKED, "authentication refused: key blocked"};

  // A challenge answers one attempt only, right or wrong.
  const std::optional<std::array<uint8_t, CHALLENGE_LENGTH>> challenge = m_challenge;
  m_challenge.reset();
  m_state.authenticated = false;
  if (!challenge) return {SW_CONDITIONS_NOT_SATISFIED, "authentication refused: no challenge"};

  std::array<uint8_t, 16> block{};
  std::copy(challenge->begin(), challenge->end(), block.begin());
  std::array<uint8_t, 16> expected{};
  std::size_t capacity = expected.size();
  Sm4EcbCrypt(m_key.data(), block.data(), block.size(), expected.data(), &capacity,
                         kSm4Encrypt);
  if (std::equal(expected.begin(), expected.end(), apdu.begin() + 5)) {
    m_state.authenticated = true;
    m_state.triesLeft = m_config.tries;
    return {SW_SUCCESS, "authenticated"};
  }
  --m_state.triesLeft;
  char event[64];
  std::snprintf(event, sizeof event, "wrong cryptogram, %d tries left%s", m_state.triesLeft,
                m_state.triesLeft == 0 ? ": key blocked" : "");
  return {static_cast<uint16_t>(SW_WRONG_CRYPTOGRAM | m_state.triesLeft), event};
}

std::optional<uint16_t> TokenEmulator::CheckProtected(const std::vector<uint8_t>& apdu,
                                                      std::vector<uint8_t>* data) const {
  if (!HasConsistentLc(apdu) || apdu[4] < 4) return SW_WRONG_LENGTH;
  const std::size_t dataLength = apdu[4] - 4u;
  // The MAC covers the plain-class header with Lc counting the data only.
  std::vector<uint8_t> macInput = {CLA_PLAIN, apdu[1], apdu[2], apdu[3], static_cast<uint8_t>(dataLength)};
  macInput.insert(macInput.end(), apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(dataLength));
  std::array<uint8_t, 16> chain{};
  std::array<uint8_t, 4> mac{};
  std::size_t capacity = mac.size();
  Sm4Mac(m_key.data(), chain.data(), macInput.data(), macInput.size(), mac.data(), &capacity);
  if (!std::equal(mac.begin(), mac.end(), apdu.end() - 4)) return SW_MAC_INVALID;
  if (!m_state.authenticated) return SW_SECURITY_NOT_SATISFIED;
  data->assign(macInput.begin() + 5, macInput.end());
  return std::nullopt;
}

TokenEmulator::Reply TokenEmulator::ApplyParameters(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data[0] != TAG_RECORD || data[1] != data.size() - 2) return {SW_WRONG_DATA};

  // Everything is checked before anything is applied: a bad record changes nothing.
  std::optional<int> displayTime, param22, algorithm, timeStep;
  std::optional<uint32_t> clock;
  auto parseItems = [&](std::size_t pos, std::size_t end, bool inContainer, auto& self) -> bool {
    while (pos < end) {
      if (end - pos < 2) return false;
      const uint8_t tag = data[pos];
      const std::size_t length = data[pos + 1];
      const std::size_t value = pos + 2;
      if (end - value < length) return false;
      switch (tag) {
        case TAG_DISPLAY_TIME:
          if (inContainer || length != 1 || DisplaySecondsOfCode(data[value]) < 0) return false;
          displayTime = DisplaySecondsOfCode(data[value]);
          break;
        case TAG_PARAM22:
          if (inContainer || length != 1) return false;
          param22 = data[value];
          break;
        case TAG_CLOCK:
          if (inContainer || length != 4) return false;
          clock = static_cast<uint32_t>(data[value]) << 24 | static_cast<uint32_t>(data[value + 1]) << 16 |
                  static_cast<uint32_t>(data[value + 2]) << 8 | data[value + 3];
          break;
        case TAG_OTP_CONTAINER:
          if (inContainer || !self(value, value + length, true, self)) return false;
          break;
        case TAG_ALGORITHM:
          if (!inContainer || length != 1 || (data[value] != 1 && data[value] != 2)) return false;
          algorithm = data[value];
          break;
        case TAG_TIME_STEP:
          if (!inContainer || length != 1 || (data[value] != 30 && data[value] != 60)) return false;
          timeStep = data[value];
          break;
        default:
          return false;
      }
      pos = value + length;
    }
    return true;
  };
  if (!parseItems(2, data.size(), false, parseItems)) return {SW_WRONG_DATA};
  // A sealed token keeps its settings; only its clock may still be set.
  if (m_state.sealed && (displayTime || param22 || algorithm || timeStep)) return {SW_CONDITIONS_NOT_SATISFIED};

  std::string event = "settings:";
  char part[64];
  if (displayTime) {
    m_state.displayTime = *displayTime;
    std::snprintf(part, sizeof part, " display %d s", *displayTime);
    event += part;
  }
  if (param22) {
    m_state.param22 = *param22;
    std::snprintf(part, sizeof part, " tag22 %d", *param22);
    event += part;
  }
  if (clock) {
    m_clockOffset = static_cast<int64_t>(*clock) - HostNow();
    event += " clock " + FormatTokenClock(*clock);
  }
  if (algorithm) {
    m_state.algorithm = *algorithm;
    event += *algorithm == 1 ? " SHA1" : " SHA256";
  }
  if (timeStep) {
    m_state.timeStep = *timeStep;
    std::snprintf(part, sizeof part, " step %d s", *timeStep);
    event += part;
  }
  if (event == "settings:") event += " none";
  return {SW_SUCCESS, event};
}

TokenEmulator::Reply TokenEmulator::StoreSeed(const std::vector<uint8_t>& data) {
  // A padded block of 1 to 64 seed bytes is 16 to 80 bytes long.
  if (data.empty() || data.size() % 16 != 0 || data.size() > 80) return {SW_WRONG_DATA};
  if (m_state.sealed) return {SW_CONDITIONS_NOT_SATISFIED};

  std::vector<uint8_t> plain(data.size());
  std::size_t capacity = plain.size();
  if (Sm4EcbCrypt(m_key.data(), data.data(), data.size(), plain.data(), &capacity,
                             kSm4Decrypt) != 0)
    return {SW_WRONG_DATA};
  // Padding: 0x80 then zeros to the block boundary; at least one byte, at most one block.
  std::size_t end = plain.size();
  while (end > 0 && plain[end - 1] == 0x00) --end;
  if (end == 0 || plain[end - 1] != 0x80 || plain.size() - (end - 1) > 16) return {SW_WRONG_DATA};
  plain.resize(end - 1);
  if (plain.empty() || plain.size() > 64) return {SW_WRONG_DATA};

  m_state.seed = std::move(plain);
  return {SW_SUCCESS, "seed: " + std::to_string(m_state.seed.size()) + " bytes"};
}

TokenEmulator::Reply TokenEmulator::Seal() {
  if (m_state.sealed) return {SW_SUCCESS};
  m_state.sealed = true;
  return {SW_SUCCESS, "sealed"};
}

void TokenEmulator::PowerOff() {
  std::lock_guard lock(m_mutex);
  m_state.authenticated = false;
  m_challenge.reset();
}

int64_t TokenEmulator::HostNow() const { return m_hostClock(); }

uint32_t TokenEmulator::ClockLocked() const { return static_cast<uint32_t>(HostNow() + m_clockOffset); }

TokenState TokenEmulator::State() const {
  std::lock_guard lock(m_mutex);
  TokenState state = m_state;
  state.clock = ClockLocked();
  return state;
}

std::vector<uint8_t> TokenEmulator::Seed() const { return State().seed; }
int TokenEmulator::Algorithm() const { return State().algorithm; }
int TokenEmulator::TimeStep() const { return State().timeStep; }
int TokenEmulator::DisplayTime() const { return State().displayTime; }
int TokenEmulator::Param22() const { return State().param22; }
bool TokenEmulator::Sealed() const { return State().sealed; }
bool TokenEmulator::Authenticated() const { return State().authenticated; }
int TokenEmulator::TriesLeft() const { return State().triesLeft; }
uint32_t TokenEmulator::Clock() const { return State().clock; }

void TokenEmulator::SetClock(uint32_t clock) {
  std::lock_guard lock(m_mutex);
  m_clockOffset = static_cast<int64_t>(clock) - HostNow();
}

std::optional<uint32_t> TokenEmulator::CodeLocked(uint32_t clock) const {
  if (m_state.seed.empty()) return std::nullopt;
  uint64_t counter = clock / static_cast<uint32_t>(m_state.timeStep);
  uint8_t message[8];
  for (int i = 7; i >= 0; --i, counter >>= 8) message[i] = static_cast<uint8_t>(counter);
  // The stored seed is the HMAC key itself: a seed longer than the hash block
  // arrived already shortened to its digest, as HMAC would shorten it.
  uint8_t mac[EVP_MAX_MD_SIZE];
  unsigned int macLength = 0;
  const EVP_MD* md = m_state.algorithm == 2 ? EVP_sha256() : EVP_sha1();
  if (HMAC(md, m_state.seed.data(), static_cast<int>(m_state.seed.size()), message, sizeof message, mac,
           &macLength) == nullptr)
    return std::nullopt;
  const unsigned offset = mac[macLength - 1] & 0x0F;
  const uint32_t binary = (static_cast<uint32_t>(mac[offset] & 0x7F) << 24) |
                          (static_cast<uint32_t>(mac[offset + 1]) << 16) |
                          (static_cast<uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
  return binary % 1000000;
}

std::optional<uint32_t> TokenEmulator::CodeAt(uint32_t clock) const {
  std::lock_guard lock(m_mutex);
  return CodeLocked(clock);
}

std::optional<uint32_t> TokenEmulator::DisplayCode() const {
  std::lock_guard lock(m_mutex);
  return CodeLocked(ClockLocked());
}

void TokenEmulator::FailInstruction(uint8_t ins, uint16_t statusWord) {
  std::lock_guard lock(m_mutex);
  m_faults[ins] = statusWord;
}

void TokenEmulator::ClearFaults() {
  std::lock_guard lock(m_mutex);
  m_faults.clear();
}

void TokenEmulator::SetHostClock(std::function<int64_t()> clock) {
  std::lock_guard lock(m_mutex);
  const uint32_t tokenClock = ClockLocked();
  m_hostClock = std::move(clock);
  // The token clock carries on from where it stood.
  m_clockOffset = static_cast<int64_t>(tokenClock) - m_hostClock();
}

void TokenEmulator::SetChangeListener(std::function<void(const std::string& what)> listener) {
  std::lock_guard lock(m_mutex);
  m_listener = std::move(listener);
}

}  // namespace sim
