// The virtual token's behaviour, driven with raw APDUs: what it accepts, what it
// refuses, and that a refused command leaves its state as it was.
#include "token_emulator.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "sm4.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kKeyHex[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
constexpr char kOtherKeyHex[] = "00112233445566778899AABBCCDDEEFF";
// 2024-02-29 12:00:00 UTC; on the wire 65 E0 71 C0.
constexpr int64_t kLeapNoon = 0x65E071C0;

std::array<uint8_t, 16> Key(const char* hex) {
  std::array<uint8_t, 16> key{};
  tokenlink::HexToBytes(hex, key.data());
  return key;
}

uint16_t StatusWord(const Bytes& response) {
  return static_cast<uint16_t>(response[response.size() - 2] << 8 | response.back());
}

Bytes Protected(uint8_t ins, uint8_t p1, const Bytes& data, const char* keyHex = kKeyHex, uint8_t p2 = 0x00) {
  const auto key = Key(keyHex);
  return tokenlink::BuildProtectedApdu(key.data(), ins, p1, p2, data.data(), data.size());
}

// The authenticate command answering a challenge response under the given key.
Bytes CryptogramCommand(const Bytes& challenge, const char* keyHex = kKeyHex, uint8_t p1 = 0x00, uint8_t p2 = 0x00) {
  std::array<uint8_t, 16> block{};
  std::copy(challenge.begin(), challenge.begin() + 8, block.begin());
  std::array<uint8_t, 16> cryptogram{};
  std::size_t capacity = cryptogram.size();
  const auto key = Key(keyHex);
  tokenlink::Sm4EcbCrypt(key.data(), block.data(), 16, cryptogram.data(), &capacity, tokenlink::kSm4Encrypt);
  Bytes apdu = {0x80, 0xCE, p1, p2, 0x10};
  apdu.insert(apdu.end(), cryptogram.begin(), cryptogram.end());
  return apdu;
}

// Seed block padded (0x80, zeros) and encrypted as the station sends it.
Bytes EncryptedSeed(const Bytes& seed, const char* keyHex = kKeyHex) {
  const Bytes padded = tokenlink::PadIso9797M2(seed.data(), seed.size());
  Bytes cipher(padded.size());
  std::size_t capacity = cipher.size();
  const auto key = Key(keyHex);
  tokenlink::Sm4EcbCrypt(key.data(), padded.data(), padded.size(), cipher.data(), &capacity, tokenlink::kSm4Encrypt);
  return cipher;
}

Bytes SeedOf(std::size_t length, uint8_t first = 1) {
  Bytes seed(length);
  for (std::size_t i = 0; i < length; ++i) seed[i] = static_cast<uint8_t>(first + i);
  return seed;
}

class TokenEmulatorTest : public ::testing::Test {
 protected:
  TokenEmulatorTest() : token(MakeConfig()) {
    token.SetHostClock([this] { return hostNow; });
  }

  static sim::TokenConfig MakeConfig() {
    sim::TokenConfig config;
    config.serialNumber = "ZZ12345678";
    config.customerKeyHex = kKeyHex;
    config.tries = 3;
    config.clockBase = kLeapNoon;
    return config;
  }

  uint16_t Send(const Bytes& apdu) { return StatusWord(token.Process(apdu)); }

  // Challenge, then the cryptogram under the given key; the status word of the latter.
  uint16_t Authenticate(const char* keyHex = kKeyHex) {
    const Bytes challenge = token.Process({0x80, 0x4B, 0x08, 0x00, 0x00});
    EXPECT_EQ(challenge.size(), 10u);
    return Send(CryptogramCommand(challenge, keyHex));
  }

  uint16_t WriteSeed(const Bytes& seed) { return Send(Protected(0xC5, 0x01, EncryptedSeed(seed))); }

  int64_t hostNow = 1'000'000;
  sim::TokenEmulator token;
};

TEST_F(TokenEmulatorTest, InfoCarriesSerialNumberAndClockMostSignificantFirst) {
  const Bytes response = token.Process({0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11});
  ASSERT_EQ(response.size(), 4u + 10u + 2u + 4u + 2u);
  EXPECT_EQ(std::string(response.begin() + 4, response.begin() + 14), "ZZ12345678");
  EXPECT_EQ(Bytes(response.end() - 6, response.end()), (Bytes{0x65, 0xE0, 0x71, 0xC0, 0x90, 0x00}));

  hostNow += 90;  // the clock runs
  const Bytes later = token.Process({0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11});
  EXPECT_EQ(Bytes(later.end() - 6, later.end() - 2), (Bytes{0x65, 0xE0, 0x72, 0x1A}));
}

TEST_F(TokenEmulatorTest, RightKeyAuthenticates) {
  EXPECT_EQ(Authenticate(), 0x9000);
  EXPECT_TRUE(token.Authenticated());
  EXPECT_EQ(token.TriesLeft(), 3);
}

TEST_F(TokenEmulatorTest, WrongKeysCountDownThenBlockEvenTheRightKey) {
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x63C2);
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x63C1);
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x63C0);
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x6983);
  EXPECT_EQ(Authenticate(kKeyHex), 0x6983);
  EXPECT_FALSE(token.Authenticated());
  EXPECT_EQ(token.TriesLeft(), 0);
}

TEST_F(TokenEmulatorTest, RightKeyRestoresTheTries) {
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x63C2);
  EXPECT_EQ(Authenticate(kKeyHex), 0x9000);
  EXPECT_EQ(token.TriesLeft(), 3);
  EXPECT_EQ(Authenticate(kOtherKeyHex), 0x63C2);
}

TEST_F(TokenEmulatorTest, ChallengeAnswersOneAttemptOnly) {
  const Bytes apdu = CryptogramCommand(token.Process({0x80, 0x4B, 0x08, 0x00, 0x00}));
  EXPECT_EQ(Send(apdu), 0x9000);
  EXPECT_EQ(Send(apdu), 0x6985);  // replayed
  EXPECT_FALSE(token.Authenticated());
}

TEST_F(TokenEmulatorTest, ProtectedCommandsNeedAuthentication) {
  const Bytes record = {0x81, 0x06, 0x0F, 0x04, 0x00, 0x00, 0x00, 0x3C};
  EXPECT_EQ(WriteSeed(SeedOf(20)), 0x6982);
  EXPECT_EQ(Send(Protected(0xD4, 0x00, record)), 0x6982);
  EXPECT_EQ(Send(Protected(0xC7, 0x00, {})), 0x6982);
  EXPECT_TRUE(token.Seed().empty());
  EXPECT_EQ(token.Clock(), kLeapNoon);
  EXPECT_FALSE(token.Sealed());
}

TEST_F(TokenEmulatorTest, AuthenticationEndsAtPowerOff) {
  ASSERT_EQ(Authenticate(), 0x9000);
  token.PowerOff();
  EXPECT_EQ(WriteSeed(SeedOf(20)), 0x6982);
  EXPECT_TRUE(token.Seed().empty());
}

// Seeds of the lengths the station sends come back as they went in: the padding
// (one to sixteen bytes) is stripped, trailing zero bytes of the seed are kept.
TEST_F(TokenEmulatorTest, StoresSeedsOfEveryPaddingShape) {
  ASSERT_EQ(Authenticate(), 0x9000);
  for (std::size_t length : {1u, 15u, 16u, 17u, 20u, 32u, 63u, 64u}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(WriteSeed(SeedOf(length)), 0x9000);
    EXPECT_EQ(token.Seed(), SeedOf(length));
  }
  Bytes endsInZeros = SeedOf(20);
  endsInZeros[18] = endsInZeros[19] = 0x00;
  EXPECT_EQ(WriteSeed(endsInZeros), 0x9000);
  EXPECT_EQ(token.Seed(), endsInZeros);
}

// A refused seed write leaves the seed that was stored before.
struct SeedWriteCase {
  const char* name;
  Bytes (*apdu)();
  uint16_t expected;
};

Bytes FlippedMac() {
  Bytes apdu = Protected(0xC5, 0x01, EncryptedSeed(SeedOf(20, 0x40)));
  apdu.back() ^= 0x01;
  return apdu;
}
Bytes DataChangedAfterMac() {
  Bytes apdu = Protected(0xC5, 0x01, EncryptedSeed(SeedOf(20, 0x40)));
  apdu[5] ^= 0x01;
  return apdu;
}
// The MAC taken over the header as sent (CLA 84, Lc with the MAC) instead of 80 and L.
Bytes MacOverSentHeader() {
  const Bytes data = EncryptedSeed(SeedOf(20, 0x40));
  Bytes macInput = {0x84, 0xC5, 0x01, 0x00, static_cast<uint8_t>(data.size() + 4)};
  macInput.insert(macInput.end(), data.begin(), data.end());
  std::array<uint8_t, 16> chain{};
  std::array<uint8_t, 4> mac{};
  std::size_t capacity = 4;
  const auto key = Key(kKeyHex);
  tokenlink::Sm4Mac(key.data(), chain.data(), macInput.data(), macInput.size(), mac.data(), &capacity);
  Bytes apdu = {0x84, 0xC5, 0x01, 0x00, static_cast<uint8_t>(data.size() + 4)};
  apdu.insert(apdu.end(), data.begin(), data.end());
  apdu.insert(apdu.end(), mac.begin(), mac.end());
  return apdu;
}
Bytes MacUnderOtherKey() { return Protected(0xC5, 0x01, EncryptedSeed(SeedOf(20, 0x40)), kOtherKeyHex); }
// Right MAC, but the plaintext carries no 0x80 padding (encrypted under another key).
Bytes BadPadding() { return Protected(0xC5, 0x01, EncryptedSeed(SeedOf(20, 0x40), kOtherKeyHex)); }
Bytes CiphertextNotWholeBlocks() { return Protected(0xC5, 0x01, SeedOf(20)); }
Bytes CiphertextTooLong() { return Protected(0xC5, 0x01, EncryptedSeed(SeedOf(80))); }
Bytes WrongP1() { return Protected(0xC5, 0x02, EncryptedSeed(SeedOf(20, 0x40))); }
Bytes LcDisagrees() {
  Bytes apdu = Protected(0xC5, 0x01, EncryptedSeed(SeedOf(20, 0x40)));
  apdu.pop_back();
  return apdu;
}

void PrintTo(const SeedWriteCase& c, std::ostream* out) { *out << c.name; }

class RefusedSeedWrite : public TokenEmulatorTest, public ::testing::WithParamInterface<SeedWriteCase> {};

TEST_P(RefusedSeedWrite, LeavesTheStoredSeed) {
  ASSERT_EQ(Authenticate(), 0x9000);
  ASSERT_EQ(WriteSeed(SeedOf(16)), 0x9000);
  EXPECT_EQ(Send(GetParam().apdu()), GetParam().expected);
  EXPECT_EQ(token.Seed(), SeedOf(16));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedSeedWrite,
    ::testing::Values(SeedWriteCase{"FlippedMac", FlippedMac, 0x6988},
                      SeedWriteCase{"DataChangedAfterMac", DataChangedAfterMac, 0x6988},
                      SeedWriteCase{"MacOverSentHeader", MacOverSentHeader, 0x6988},
                      SeedWriteCase{"MacUnderOtherKey", MacUnderOtherKey, 0x6988},
                      SeedWriteCase{"BadPadding", BadPadding, 0x6A80},
                      SeedWriteCase{"CiphertextNotWholeBlocks", CiphertextNotWholeBlocks, 0x6A80},
                      SeedWriteCase{"CiphertextTooLong", CiphertextTooLong, 0x6A80},
                      SeedWriteCase{"WrongP1", WrongP1, 0x6A86},
                      SeedWriteCase{"LcDisagrees", LcDisagrees, 0x6700}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenEmulatorTest, AppliesTheFullParameterRecord) {
  ASSERT_EQ(Authenticate(), 0x9000);
  // Display 60 s, tag 0x22 = 5, clock 2024-02-29 12:00:00 + 1 h, SHA256, 60 s step.
  const Bytes record = {0x81, 0x14, 0x1F, 0x01, 0x02, 0x22, 0x01, 0x05, 0x0F, 0x04, 0x65, 0xE0,
                        0x7F, 0xD0, 0x86, 0x06, 0x0A, 0x01, 0x02, 0x0D, 0x01, 0x3C};
  EXPECT_EQ(Send(Protected(0xD4, 0x00, record)), 0x9000);
  const sim::TokenState state = token.State();
  EXPECT_EQ(state.displayTime, 60);
  EXPECT_EQ(state.param22, 5);
  EXPECT_EQ(state.clock, kLeapNoon + 3600);
  EXPECT_EQ(state.algorithm, 2);
  EXPECT_EQ(state.timeStep, 60);
}

TEST_F(TokenEmulatorTest, MalformedParameterRecordsChangeNothing) {
  ASSERT_EQ(Authenticate(), 0x9000);
  const std::vector<std::pair<const char*, Bytes>> records = {
      {"length byte too large", {0x81, 0x04, 0x1F, 0x01, 0x01}},
      {"not a record", {0x80, 0x03, 0x1F, 0x01, 0x01}},
      {"unknown tag", {0x81, 0x06, 0x1F, 0x01, 0x01, 0x33, 0x01, 0x00}},
      {"display code 4", {0x81, 0x03, 0x1F, 0x01, 0x04}},
      {"time step 45", {0x81, 0x05, 0x86, 0x03, 0x0D, 0x01, 0x2D}},
      {"algorithm 3", {0x81, 0x05, 0x86, 0x03, 0x0A, 0x01, 0x03}},
      {"algorithm outside the container", {0x81, 0x06, 0x1F, 0x01, 0x01, 0x0A, 0x01, 0x01}},
      {"clock of three bytes", {0x81, 0x08, 0x1F, 0x01, 0x00, 0x0F, 0x03, 0x00, 0x00, 0x01}},
      {"item cut short", {0x81, 0x06, 0x1F, 0x01, 0x00, 0x0F, 0x04, 0x00}},
      {"container cut short", {0x81, 0x05, 0x86, 0x04, 0x0A, 0x01, 0x01}},
  };
  for (const auto& [name, record] : records) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Send(Protected(0xD4, 0x00, record)), 0x6A80);
    const sim::TokenState state = token.State();
    EXPECT_EQ(state.displayTime, 30);
    EXPECT_EQ(state.param22, -1);
    EXPECT_EQ(state.algorithm, 1);
    EXPECT_EQ(state.timeStep, 30);
    EXPECT_EQ(state.clock, kLeapNoon);
  }
}

TEST_F(TokenEmulatorTest, SealedTokenRefusesChangesButTakesTheClock) {
  ASSERT_EQ(Authenticate(), 0x9000);
  ASSERT_EQ(WriteSeed(SeedOf(20)), 0x9000);
  EXPECT_EQ(Send(Protected(0xC7, 0x00, {})), 0x9000);
  EXPECT_TRUE(token.Sealed());

  EXPECT_EQ(WriteSeed(SeedOf(32, 0x70)), 0x6985);
  EXPECT_EQ(token.Seed(), SeedOf(20));
  EXPECT_EQ(Send(Protected(0xD4, 0x00, {0x81, 0x05, 0x86, 0x03, 0x0A, 0x01, 0x02})), 0x6985);
  EXPECT_EQ(token.Algorithm(), 1);
  EXPECT_EQ(Send(Protected(0xD4, 0x00, {0x81, 0x06, 0x0F, 0x04, 0x65, 0xE0, 0x7F, 0xD0})), 0x9000);
  EXPECT_EQ(token.Clock(), kLeapNoon + 3600);
}

TEST_F(TokenEmulatorTest, FaultSwitchAnswersTheChosenInstructionOnly) {
  ASSERT_EQ(Authenticate(), 0x9000);
  token.FailInstruction(0xC5, 0x6A80);
  EXPECT_EQ(WriteSeed(SeedOf(20)), 0x6A80);
  EXPECT_TRUE(token.Seed().empty());
  EXPECT_EQ(Send({0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}), 0x9000);
  token.ClearFaults();
  EXPECT_EQ(WriteSeed(SeedOf(20)), 0x9000);
}

TEST_F(TokenEmulatorTest, UnknownInstructionAndClass) {
  EXPECT_EQ(Send({0x80, 0x99, 0x00, 0x00, 0x00}), 0x6D00);
  EXPECT_EQ(Send({0x00, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}), 0x6E00);
  EXPECT_EQ(Send({0x84, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}), 0x6E00);
  EXPECT_EQ(Send({0x80, 0xC5, 0x01, 0x00, 0x00}), 0x6E00);  // a seed write must carry a MAC
  EXPECT_EQ(Send({0x80}), 0x6700);
}

// A wrong P1 or P2 is refused with 6A86 before anything else of the command is
// looked at, as a card does: nothing changes, a pending challenge stays valid,
// and the same command with the right bytes goes through afterwards.
struct HeaderCase {
  const char* name;
  uint8_t ins;
  uint8_t p1;  // the right P1 and P2
  uint8_t p2;
};

const HeaderCase kHeaderCases[] = {
    {"ReadInfo", 0x41, 0x00, 0x00},  {"Challenge", 0x4B, 0x08, 0x00}, {"Authenticate", 0xCE, 0x00, 0x00},
    {"Parameter", 0xD4, 0x00, 0x00}, {"SeedWrite", 0xC5, 0x01, 0x00}, {"Seal", 0xC7, 0x00, 0x00},
};

enum class WrongByte { P1, P2, Both };

class WrongP1P2 : public TokenEmulatorTest,
                  public ::testing::WithParamInterface<std::tuple<HeaderCase, WrongByte>> {
 protected:
  // The command of the case with the given P1 and P2; well formed otherwise
  // (a protected command's MAC covers the P1 and P2 it carries).
  Bytes Command(uint8_t p1, uint8_t p2) {
    const HeaderCase& c = std::get<0>(GetParam());
    switch (c.ins) {
      case 0x41: return {0x80, 0x41, p1, p2, 0x02, 0x02, 0x11};
      case 0x4B: return {0x80, 0x4B, p1, p2, 0x00};
      case 0xCE: return CryptogramCommand(pendingChallenge, kKeyHex, p1, p2);
      case 0xD4: return Protected(0xD4, p1, {0x81, 0x06, 0x1F, 0x01, 0x03, 0x22, 0x01, 0x07}, kKeyHex, p2);
      case 0xC5: return Protected(0xC5, p1, EncryptedSeed(SeedOf(20, 0x40)), kKeyHex, p2);
      default: return Protected(0xC7, p1, {}, kKeyHex, p2);
    }
  }

  Bytes pendingChallenge;
};

TEST_P(WrongP1P2, IsRefusedAndChangesNothing) {
  const auto& [c, wrong] = GetParam();
  ASSERT_EQ(Authenticate(), 0x9000);
  ASSERT_EQ(WriteSeed(SeedOf(16)), 0x9000);
  pendingChallenge = token.Process({0x80, 0x4B, 0x08, 0x00, 0x00});

  const uint8_t p1 = wrong == WrongByte::P2 ? c.p1 : static_cast<uint8_t>(c.p1 ^ 0x01);
  const uint8_t p2 = wrong == WrongByte::P1 ? c.p2 : static_cast<uint8_t>(c.p2 ^ 0x80);
  const sim::TokenState before = token.State();
  EXPECT_EQ(Send(Command(p1, p2)), sim::SW_WRONG_P1P2);
  EXPECT_EQ(token.State(), before);

  // The challenge was neither used nor replaced; for the authenticate case
  // this is also the command with the right bytes.
  EXPECT_EQ(Send(CryptogramCommand(pendingChallenge)), 0x9000);
  if (c.ins != 0xCE) {
    EXPECT_EQ(Send(Command(c.p1, c.p2)), 0x9000);
  }
}

std::string WrongP1P2Name(const ::testing::TestParamInfo<std::tuple<HeaderCase, WrongByte>>& info) {
  static const char* const kWrong[] = {"P1", "P2", "Both"};
  return std::string(std::get<0>(info.param).name) + "Wrong" + kWrong[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Commands, WrongP1P2,
                         ::testing::Combine(::testing::ValuesIn(kHeaderCases),
                                            ::testing::Values(WrongByte::P1, WrongByte::P2, WrongByte::Both)),
                         WrongP1P2Name);

// RFC 6238 appendix B (last six digits of the eight given there), 30 s step.
struct RfcVector {
  int algorithm;
  uint32_t time;
  uint32_t code;
};

void PrintTo(const RfcVector& v, std::ostream* out) {
  *out << (v.algorithm == 1 ? "SHA1" : "SHA256") << " at " << v.time;
}

class TokenCode : public TokenEmulatorTest, public ::testing::WithParamInterface<RfcVector> {};

TEST_P(TokenCode, MatchesRfc6238) {
  const RfcVector& v = GetParam();
  const std::string ascii = v.algorithm == 1 ? "12345678901234567890" : "12345678901234567890123456789012";
  ASSERT_EQ(Authenticate(), 0x9000);
  ASSERT_EQ(WriteSeed(Bytes(ascii.begin(), ascii.end())), 0x9000);
  const Bytes container = {0x81, 0x05, 0x86, 0x03, 0x0A, 0x01, static_cast<uint8_t>(v.algorithm)};
  ASSERT_EQ(Send(Protected(0xD4, 0x00, container)), 0x9000);
  EXPECT_EQ(token.CodeAt(v.time), v.code);
  token.SetClock(v.time);
  EXPECT_EQ(token.DisplayCode(), v.code);
}

INSTANTIATE_TEST_SUITE_P(Rfc, TokenCode,
                         ::testing::Values(RfcVector{1, 59, 287082}, RfcVector{1, 1111111109, 81804},
                                           RfcVector{1, 1111111111, 50471}, RfcVector{1, 1234567890, 5924},
                                           RfcVector{1, 2000000000, 279037}, RfcVector{2, 59, 119246},
                                           RfcVector{2, 1111111109, 84774}, RfcVector{2, 1111111111, 62674},
                                           RfcVector{2, 1234567890, 819424}, RfcVector{2, 2000000000, 698825}));

TEST_F(TokenEmulatorTest, NoCodeWithoutSeed) {
  EXPECT_EQ(token.DisplayCode(), std::nullopt);
}

TEST_F(TokenEmulatorTest, ListenerHearsWhatWasWritten) {
  std::vector<std::string> heard;
  token.SetChangeListener([&](const std::string& what) { heard.push_back(what); });
  ASSERT_EQ(Authenticate(), 0x9000);
  ASSERT_EQ(WriteSeed(SeedOf(20)), 0x9000);
  ASSERT_EQ(Send(Protected(0xC7, 0x00, {})), 0x9000);
  EXPECT_EQ(heard, (std::vector<std::string>{"authenticated", "seed: 20 bytes", "sealed"}));
}

}  // namespace
