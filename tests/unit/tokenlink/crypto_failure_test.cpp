// A libcrypto step that fails, through the failure seam of sm4.h: the
// primitives say so instead of handing out zeros or an unkeyed MAC, and every
// token command stops before anything more goes to the card, with a code of
// its own table and never TL_OK.
#include <gtest/gtest.h>

#include <functional>

#include "result_codes.h"
#include "scripted_pcsc.h"
#include "sm4.h"
#include "token_commands.h"

namespace tokenlink_test {
namespace {

using namespace tokenlink;

// The step that fails, after how many calls of it that succeed.
CryptoStep g_failingStep = CryptoStep::Cipher;
int g_passesLeft = 0;

bool FailAfterPasses(CryptoStep step) {
  if (step != g_failingStep) return false;
  if (g_passesLeft > 0) {
    --g_passesLeft;
    return false;
  }
  return true;
}

void FailStep(CryptoStep step, int passes = 0) {
  g_failingStep = step;
  g_passesLeft = passes;
  SetCryptoFailureHook(FailAfterPasses);
}

class CryptoFailurePrimitiveTest : public ::testing::Test {
 protected:
  void TearDown() override { SetCryptoFailureHook(nullptr); }
};

TEST_F(CryptoFailurePrimitiveTest, Sm4EcbReportsTheFailure) {
  FailStep(CryptoStep::Cipher);
  Bytes out(16, 0xEE);
  std::size_t capacity = out.size();
  EXPECT_EQ(Sm4EcbCrypt(kKeyBytes.data(), kKeyBytes.data(), 16, out.data(), &capacity, kSm4Encrypt), -1);
  EXPECT_EQ(out, Bytes(16, 0xEE));
}

TEST_F(CryptoFailurePrimitiveTest, MacFailsInsteadOfGivingAnUnkeyedValue) {
  const Bytes data(20, 0x5A);  // two blocks after padding
  for (int passes : {0, 1}) {
    SCOPED_TRACE(passes);
    FailStep(CryptoStep::Cipher, passes);
    std::array<uint8_t, 16> chain{};
    Bytes mac(4, 0xEE);
    std::size_t capacity = mac.size();
    EXPECT_EQ(Sm4Mac(kKeyBytes.data(), chain.data(), data.data(), data.size(), mac.data(), &capacity), -1);
    EXPECT_EQ(mac, Bytes(4, 0xEE));
  }
}

TEST_F(CryptoFailurePrimitiveTest, NoProtectedApduWithoutItsMac) {
  FailStep(CryptoStep::Cipher);
  EXPECT_TRUE(BuildProtectedApdu(kKeyBytes.data(), INS_SEAL, P1_SEAL, P2_ANY, nullptr, 0).empty());
}

TEST_F(CryptoFailurePrimitiveTest, DigestLeavesTheOutputAsItWas) {
  FailStep(CryptoStep::Digest);
  const Bytes data = Hex("61 62 63");
  for (int algorithm : {kDigestSha1, kDigestSha256}) {
    Bytes out(32, 0xEE);
    EXPECT_FALSE(ComputeDigest(algorithm, data.data(), 3, out.data()));
    EXPECT_EQ(out, Bytes(32, 0xEE));
  }
  SetCryptoFailureHook(nullptr);
  Bytes out(32, 0xEE);
  EXPECT_TRUE(ComputeDigest(kDigestSha1, data.data(), 3, out.data()));
}

// ------------------------------------------------------------------ commands

const Bytes kSeed20 = Sequence(20);
const Bytes kSeed65 = Sequence(65);
const Bytes kSeed160 = Sequence(160);

struct FailureCase {
  const char* name;
  CryptoStep step;
  int passes;  // calls of the step that succeed before it fails
  std::function<int32_t()> run;
  int32_t result;
  std::size_t sent;  // APDUs sent before the failure
};

const FailureCase kFailureCases[] = {
    // The digest of a long seed: no zero block is encrypted and written.
    {"WriteSeedDigestOfSha1Seed", CryptoStep::Digest, 0,
     [] { return WriteSeed(kReader, kKey, kSeed65.data(), 65, kSeedAlgorithmSha1); }, TL_E_BAD_PARAMETER, 0},
    {"WriteSeedDigestOfSha256Seed", CryptoStep::Digest, 0,
     [] { return WriteSeed(kReader, kKey, kSeed160.data(), 160, kSeedAlgorithmSha256); }, TL_E_BAD_PARAMETER, 0},
    // The seed's encryption, then the first and the last block of its MAC
    // (5 + 32 bytes of MAC input make three blocks).
    {"WriteSeedEncryption", CryptoStep::Cipher, 0,
     [] { return WriteSeed(kReader, kKey, kSeed20.data(), 20, kSeedAlgorithmSha1); }, TL_E_BAD_PARAMETER, 0},
    {"WriteSeedMacFirstBlock", CryptoStep::Cipher, 1,
     [] { return WriteSeed(kReader, kKey, kSeed20.data(), 20, kSeedAlgorithmSha1); }, TL_E_BAD_PARAMETER, 0},
    {"WriteSeedMacLastBlock", CryptoStep::Cipher, 3,
     [] { return WriteSeed(kReader, kKey, kSeed20.data(), 20, kSeedAlgorithmSha1); }, TL_E_BAD_PARAMETER, 0},
    // The cryptogram: the challenge went out, the cryptogram does not.
    {"AuthenticateCryptogram", CryptoStep::Cipher, 0, [] { return AuthenticateCustomerKey(kReader, kKey); },
     TL_E_AUTH_EXCHANGE, 1},
    {"SealMac", CryptoStep::Cipher, 0, [] { return SealToken(kReader, kKey); }, TL_E_CARD_STATUS, 0},
    {"SyncTokenClockMac", CryptoStep::Cipher, 0,
     [] { return SyncTokenClock(kReader, kKey, "2024/02/29/12/00/00", 0); }, TL_E_CARD_STATUS, 0},
    // 5 + 22 bytes of MAC input: two blocks; the second fails.
    {"ConfigureTokenMacLastBlock", CryptoStep::Cipher, 1,
     [] { return ConfigureToken(kReader, kKey, "SHA1", 30, 30, "2024/02/29/12/00/00", 0); }, TL_E_CARD_STATUS,
     0},
};

class CryptoFailureCommandTest : public ScriptedPcscTest, public ::testing::WithParamInterface<FailureCase> {
 protected:
  void SetUp() override {
    ScriptedPcscTest::SetUp();
    // A card that accepts anything: a command that carried on after the
    // failure would be answered and report success.
    pcsc.responder = [](const Bytes&) { return Answer("11 22 33 44 55 66 77 88 90 00"); };
  }
  void TearDown() override {
    SetCryptoFailureHook(nullptr);
    ScriptedPcscTest::TearDown();
  }
};

TEST_P(CryptoFailureCommandTest, StopsBeforeSendingAndNeverReportsSuccess) {
  FailStep(GetParam().step, GetParam().passes);
  EXPECT_EQ(GetParam().run(), GetParam().result);
  EXPECT_EQ(pcsc.transmitted.size(), GetParam().sent);
  EXPECT_EQ(pcsc.CountCalls("Disconnect"), 1);
  // The same command with working libcrypto goes through to the card.
  SetCryptoFailureHook(nullptr);
  pcsc.transmitted.clear();
  EXPECT_EQ(GetParam().run(), TL_OK);
  EXPECT_FALSE(pcsc.transmitted.empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, CryptoFailureCommandTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tokenlink_test
