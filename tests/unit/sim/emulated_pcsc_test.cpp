// The in-process PC/SC stack: pcsc-lite's error codes, card removal and the
// pulled-card fault, also under the real token commands.
#include "emulated_pcsc.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "card_session.h"
#include "token_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tokenlink::PcscCard;
using tokenlink::PcscContext;

constexpr char kReader[] = "Emulated Reader 00 00";
constexpr char kKeyHex[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
const Bytes kInfoApdu = {0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11};

class EmulatedPcscTest : public ::testing::Test {
 protected:
  EmulatedPcscTest() {
    sim::TokenConfig config;
    config.customerKeyHex = kKeyHex;
    token = std::make_shared<sim::TokenEmulator>(config);
    pcsc.AddReader(kReader);
    pcsc.InsertToken(kReader, token);
  }
  ~EmulatedPcscTest() override { tokenlink::UsePcsc(nullptr); }

  int32_t Transmit(PcscCard card, const Bytes& apdu, Bytes* response) {
    response->assign(1024, 0);
    std::size_t length = response->size();
    const int32_t result = pcsc.Transmit(card, tokenlink::kProtocolT1, apdu.data(), apdu.size(), response->data(),
                                         &length);
    response->resize(result == tokenlink::kScardSuccess ? length : 0);
    return result;
  }

  sim::EmulatedPcsc pcsc;
  std::shared_ptr<sim::TokenEmulator> token;
};

TEST_F(EmulatedPcscTest, ErrorsAsPcscLiteGivesThem) {
  PcscContext context = 0;
  ASSERT_EQ(pcsc.EstablishContext(tokenlink::kScopeSystem, &context), tokenlink::kScardSuccess);
  PcscCard card = 0;
  uint32_t protocol = 0;
  EXPECT_EQ(pcsc.Connect(context, "No Such Reader", 2, 3, &card, &protocol), tokenlink::kScardEUnknownReader);
  pcsc.AddReader("Empty Reader");
  EXPECT_EQ(pcsc.Connect(context, "Empty Reader", 2, 3, &card, &protocol), tokenlink::kScardENoSmartcard);
  EXPECT_EQ(pcsc.OpenCards(), 0);

  pcsc.RemoveReader("Empty Reader");
  pcsc.RemoveReader(kReader);
  char names[256];
  uint32_t length = sizeof names;
  EXPECT_EQ(pcsc.ListReaders(context, names, &length), tokenlink::kScardENoReadersAvailable);
  EXPECT_EQ(pcsc.ReleaseContext(context), tokenlink::kScardSuccess);
  EXPECT_EQ(pcsc.ReleaseContext(context), tokenlink::kScardEInvalidHandle);

  pcsc.SetServiceRunning(false);
  EXPECT_EQ(pcsc.EstablishContext(tokenlink::kScopeSystem, &context), tokenlink::kScardENoService);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}

TEST_F(EmulatedPcscTest, ListsReadersAsMultiString) {
  pcsc.AddReader("Second");
  PcscContext context = 0;
  ASSERT_EQ(pcsc.EstablishContext(tokenlink::kScopeSystem, &context), tokenlink::kScardSuccess);
  char names[64];
  uint32_t length = 5;
  EXPECT_EQ(pcsc.ListReaders(context, names, &length), tokenlink::kScardEInsufficientBuffer);
  const std::string expected = std::string(kReader) + '\0' + "Second" + '\0' + '\0';
  EXPECT_EQ(length, expected.size());
  length = sizeof names;
  ASSERT_EQ(pcsc.ListReaders(context, names, &length), tokenlink::kScardSuccess);
  EXPECT_EQ(std::string(names, length), expected);
  pcsc.ReleaseContext(context);
}

TEST_F(EmulatedPcscTest, PullAtTheNthApduFailsItAndTheTokenLeaves) {
  PcscContext context = 0;
  PcscCard card = 0;
  uint32_t protocol = 0;
  ASSERT_EQ(pcsc.EstablishContext(tokenlink::kScopeSystem, &context), tokenlink::kScardSuccess);
  ASSERT_EQ(pcsc.Connect(context, kReader, 2, 3, &card, &protocol), tokenlink::kScardSuccess);
  pcsc.PullCardAtApdu(kReader, 2);

  Bytes response;
  EXPECT_EQ(Transmit(card, kInfoApdu, &response), tokenlink::kScardSuccess);
  EXPECT_EQ(Bytes(response.end() - 2, response.end()), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Transmit(card, kInfoApdu, &response), tokenlink::kScardWRemovedCard);
  EXPECT_EQ(Transmit(card, kInfoApdu, &response), tokenlink::kScardWRemovedCard);
  EXPECT_EQ(pcsc.TokenIn(kReader), nullptr);
  EXPECT_EQ(pcsc.SentApdus(kReader).size(), 2u);  // the third never reached the reader

  PcscCard second = 0;
  EXPECT_EQ(pcsc.Connect(context, kReader, 2, 3, &second, &protocol), tokenlink::kScardENoSmartcard);
  EXPECT_EQ(pcsc.Disconnect(card, tokenlink::kLeaveCard), tokenlink::kScardSuccess);
  EXPECT_EQ(pcsc.ReleaseContext(context), tokenlink::kScardSuccess);
  EXPECT_EQ(pcsc.OpenCards(), 0);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}

TEST_F(EmulatedPcscTest, RemovalPowersTheTokenOff) {
  tokenlink::UsePcsc(&pcsc);
  ASSERT_EQ(tokenlink::AuthenticateCustomerKey(kReader, kKeyHex), tokenlink::TL_OK);
  EXPECT_TRUE(token->Authenticated());  // kept across the close of the session
  pcsc.RemoveToken(kReader);
  EXPECT_FALSE(token->Authenticated());
}

TEST_F(EmulatedPcscTest, PowerOffWhenIdleEndsTheAuthenticationAtTheLastClose) {
  pcsc.SetPowerOffWhenIdle(true);
  tokenlink::UsePcsc(&pcsc);
  ASSERT_EQ(tokenlink::AuthenticateCustomerKey(kReader, kKeyHex), tokenlink::TL_OK);
  EXPECT_FALSE(token->Authenticated());
  const uint8_t seed[20] = {1, 2, 3};
  EXPECT_EQ(tokenlink::WriteSeed(kReader, kKeyHex, seed, sizeof seed, tokenlink::kSeedAlgorithmSha1),
            tokenlink::TL_E_CARD_STATUS);
}

// The station's commands on a card pulled mid-command: the specified code,
// the session closed, every handle released, the token's state untouched.
TEST_F(EmulatedPcscTest, TokenCommandsOnAPulledCard) {
  tokenlink::UsePcsc(&pcsc);

  pcsc.PullCardAtApdu(kReader, 2);  // after the challenge, before the cryptogram
  EXPECT_EQ(tokenlink::AuthenticateCustomerKey(kReader, kKeyHex), tokenlink::TL_E_AUTH_EXCHANGE);
  EXPECT_EQ(tokenlink::CurrentCardSession().context, 0u);
  EXPECT_EQ(tokenlink::CurrentCardSession().card, 0u);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  EXPECT_EQ(pcsc.OpenCards(), 0);
  EXPECT_FALSE(token->Authenticated());

  pcsc.InsertToken(kReader, token);
  ASSERT_EQ(tokenlink::AuthenticateCustomerKey(kReader, kKeyHex), tokenlink::TL_OK);
  pcsc.PullCardAtApdu(kReader, 1);
  const uint8_t seed[20] = {1, 2, 3};
  EXPECT_EQ(tokenlink::WriteSeed(kReader, kKeyHex, seed, sizeof seed, tokenlink::kSeedAlgorithmSha1),
            tokenlink::kScardWRemovedCard);
  EXPECT_TRUE(token->Seed().empty());
  EXPECT_EQ(tokenlink::CurrentCardSession().card, 0u);
  EXPECT_EQ(pcsc.OpenCards(), 0);
}

TEST_F(EmulatedPcscTest, UnknownReaderSendsNothing) {
  tokenlink::UsePcsc(&pcsc);
  tokenlink::TokenInfo info;
  EXPECT_EQ(tokenlink::ReadTokenInfo("No Such Reader", 32, 64, &info), tokenlink::TL_E_NO_DEVICE);
  EXPECT_TRUE(pcsc.SentApdus(kReader).empty());
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}

}  // namespace
