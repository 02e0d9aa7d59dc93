// The in-process PC/SC stack: pcsc-lite's error codes, card removal and the
// pulled-card fault, also under the real token commands; waiting for reader
// events as pcsc-lite reports them.
#include "emulated_pcsc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "card_session.h"
#include "serialized_pcsc.h"
#include "token_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tokenlink::PcscCard;
using tokenlink::PcscContext;
using tokenlink::ReaderState;
using namespace std::chrono_literals;

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

  std::vector<ReaderState> entries(tokenlink::kMaxReaderStates + 1, ReaderState{kReader});
  EXPECT_EQ(pcsc.GetStatusChange(context, 0, entries.data(), entries.size()), tokenlink::kScardEInvalidParameter);
  ReaderState entry{kReader};
  EXPECT_EQ(pcsc.GetStatusChange(context, 0, &entry, 1), tokenlink::kScardEInvalidHandle);
  EXPECT_EQ(pcsc.Cancel(context), tokenlink::kScardEInvalidHandle);

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

// Waiting for reader events.

constexpr uint32_t Count(uint32_t events) { return events << tokenlink::kStateEventCountShift; }
constexpr uint32_t kAsLaid = tokenlink::kStatePresent | Count(1);  // the fixture's token, laid once

// Polls until the condition holds; false after 5 s.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// What a case works on.
struct World {
  sim::EmulatedPcsc& pcsc;
  std::shared_ptr<sim::TokenEmulator> token;
  PcscContext context = 0;
  PcscCard card = 0;

  void Connect() {
    uint32_t protocol = 0;
    ASSERT_EQ(pcsc.Connect(context, kReader, tokenlink::kShareShared, tokenlink::kProtocolT0 | tokenlink::kProtocolT1,
                           &card, &protocol),
              tokenlink::kScardSuccess);
  }
};

class StatusChangeTest : public EmulatedPcscTest {
 protected:
  StatusChangeTest() {
    EXPECT_EQ(pcsc.EstablishContext(tokenlink::kScopeSystem, &world.context), tokenlink::kScardSuccess);
  }
  ~StatusChangeTest() override {
    if (world.context != 0) pcsc.ReleaseContext(world.context);
  }

  // GetStatusChange on another thread; `during` runs once the call waits.
  int32_t WaitWhile(ReaderState* states, std::size_t count, uint32_t timeoutMs, const std::function<void()>& during,
                    PcscContext context = 0) {
    const int before = pcsc.WaitingCalls();
    auto waiting = std::async(std::launch::async, [&] {
      return pcsc.GetStatusChange(context != 0 ? context : world.context, timeoutMs, states, count);
    });
    EXPECT_TRUE(Eventually([&] { return pcsc.WaitingCalls() > before; })) << "the call did not wait";
    during();
    return waiting.get();
  }

  World world{pcsc, token};
};

struct StateCase {
  const char* name;
  std::function<void(World&)> setup;   // before the call
  std::function<void(World&)> during;  // once the call waits; none: a call with timeout 0
  std::string reader;
  uint32_t currentState;
  int32_t result;
  uint32_t eventState;  // looked at unless the call failed
};

void PrintTo(const StateCase& c, std::ostream* out) { *out << c.name; }

const auto kNothing = [](World&) {};

class StatusChange : public StatusChangeTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StatusChange, ReportsTheReaderAgainstWhatTheCallerBelieves) {
  const StateCase& c = GetParam();
  c.setup(world);
  ReaderState entry{c.reader, c.currentState};
  int32_t result;
  if (!c.during) {
    result = pcsc.GetStatusChange(world.context, 0, &entry, 1);
  } else {
    const uint32_t timeoutMs = c.result == tokenlink::kScardETimeout ? 1000 : 30000;
    result = WaitWhile(&entry, 1, timeoutMs, [&] { c.during(world); });
  }
  EXPECT_EQ(result, c.result);
  if (result == tokenlink::kScardSuccess || result == tokenlink::kScardETimeout) {
    EXPECT_EQ(entry.eventState, c.eventState) << std::hex << "0x" << entry.eventState;
  }
}

using namespace tokenlink;  // the state bits, in the tables below

const std::string kUnknownReader = "No Such Reader 00 00";

// A call that looks once (timeout 0).
const StateCase kAtOnce[] = {
    {"Unaware", kNothing, {}, kReader, kStateUnaware, kScardSuccess, kAsLaid | kStateChanged},
    {"AsBelieved", kNothing, {}, kReader, kAsLaid, kScardETimeout, kAsLaid},
    {"BelievedEmpty", kNothing, {}, kReader, kStateEmpty | Count(1), kScardSuccess, kAsLaid | kStateChanged},
    {"TakenOff", [](World& w) { w.pcsc.RemoveToken(kReader); }, {}, kReader, kAsLaid, kScardSuccess,
     kStateEmpty | Count(2) | kStateChanged},
    // Taken off and laid back between two calls: only the count tells.
    {"LaidBackUnseen",
     [](World& w) {
       w.pcsc.RemoveToken(kReader);
       w.pcsc.InsertToken(kReader, w.token);
     },
     {}, kReader, kAsLaid, kScardSuccess, kStatePresent | Count(3) | kStateChanged},
    // pcsc-lite compares the count only when the caller gives one.
    {"LaidBackWithoutCount",
     [](World& w) {
       w.pcsc.RemoveToken(kReader);
       w.pcsc.InsertToken(kReader, w.token);
     },
     {}, kReader, kStatePresent, kScardETimeout, kStatePresent | Count(3)},
    {"InUseAppearingIsNoChange", [](World& w) { w.Connect(); }, {}, kReader, kAsLaid, kScardETimeout,
     kAsLaid | kStateInUse},
    {"InUseNoLonger", kNothing, {}, kReader, kAsLaid | kStateInUse, kScardSuccess, kAsLaid | kStateChanged},
    {"HeldElsewhereAppearingIsNoChange", [](World& w) { w.pcsc.SetHeldByAnotherProgram(kReader, true); }, {},
     kReader, kAsLaid, kScardETimeout, kAsLaid | kStateExclusive},
    {"InUseBecameHeldElsewhere", [](World& w) { w.pcsc.SetHeldByAnotherProgram(kReader, true); }, {}, kReader,
     kAsLaid | kStateInUse, kScardSuccess, kAsLaid | kStateExclusive | kStateChanged},
    {"BackAfterUnknown", kNothing, {}, kReader, kStateUnknown, kScardSuccess, kAsLaid | kStateChanged},
    {"UnknownReader", kNothing, {}, kUnknownReader, kStateUnaware, kScardEUnknownReader, 0},
    {"OnlyIgnoredEntries", kNothing, {}, kUnknownReader, kStateIgnore, kScardSuccess, kStateUnaware},
    {"PnpWithoutReaderEvent", kNothing, {}, kPnpNotification, kStateUnaware, kScardETimeout, kStateUnaware},
    {"PnpNameInOtherCase", kNothing, {}, R"(\\?pnp?\notification)", kStateUnaware, kScardETimeout, kStateUnaware},
    {"PnpUnsupported", [](World& w) { w.pcsc.SetPnpNotification(false); }, {}, kPnpNotification, kStateUnaware,
     kScardSuccess, kStateUnknown | kStateUnavailable | kStateChanged},
    {"ServiceStopped", [](World& w) { w.pcsc.SetServiceRunning(false); }, {}, kReader, kAsLaid, kScardENoService, 0},
};

// A change made from another thread while the call waits.
const StateCase kWhileWaiting[] = {
    {"TokenTakenOff", kNothing, [](World& w) { w.pcsc.RemoveToken(kReader); }, kReader, kAsLaid, kScardSuccess,
     kStateEmpty | Count(2) | kStateChanged},
    {"TokenLaidOn", [](World& w) { w.pcsc.RemoveToken(kReader); },
     [](World& w) { w.pcsc.InsertToken(kReader, w.token); }, kReader, kStateEmpty | Count(2), kScardSuccess,
     kStatePresent | Count(3) | kStateChanged},
    {"CardPulledMidCommand",
     [](World& w) {
       w.Connect();
       w.pcsc.PullCardAtApdu(kReader, 1);
     },
     [](World& w) {
       uint8_t response[64];
       std::size_t length = sizeof response;
       EXPECT_EQ(w.pcsc.Transmit(w.card, kProtocolT1, kInfoApdu.data(), kInfoApdu.size(), response, &length),
                 kScardWRemovedCard);
     },
     kReader, kAsLaid | kStateInUse, kScardSuccess, kStateEmpty | Count(2) | kStateChanged},
    {"LastHandleClosed", [](World& w) { w.Connect(); },
     [](World& w) { EXPECT_EQ(w.pcsc.Disconnect(w.card, kLeaveCard), kScardSuccess); }, kReader,
     kAsLaid | kStateInUse, kScardSuccess, kAsLaid | kStateChanged},
    {"HandleOpenedIsNoChange", kNothing, [](World& w) { w.Connect(); }, kReader, kAsLaid, kScardETimeout,
     kAsLaid | kStateInUse},
    {"ReaderRemoved", kNothing, [](World& w) { w.pcsc.RemoveReader(kReader); }, kReader, kAsLaid, kScardSuccess,
     kStateUnknown | kStateUnavailable | kStateChanged},
    {"PnpReaderAdded", kNothing, [](World& w) { w.pcsc.AddReader("Second Reader 01 00"); }, kPnpNotification,
     kStateUnaware, kScardSuccess, kStateChanged},
    {"PnpReaderRemoved", kNothing, [](World& w) { w.pcsc.RemoveReader(kReader); }, kPnpNotification, kStateUnaware,
     kScardSuccess, kStateChanged},
    {"PnpTokenEventIsNoReaderEvent", kNothing, [](World& w) { w.pcsc.RemoveToken(kReader); }, kPnpNotification,
     kStateUnaware, kScardETimeout, kStateUnaware},
    // Once told UNKNOWN, a caller on a pcscd without PnP support waits in vain.
    {"PnpUnsupportedNeverChanges", [](World& w) { w.pcsc.SetPnpNotification(false); },
     [](World& w) { w.pcsc.AddReader("Second Reader 01 00"); }, kPnpNotification, kStateUnknown | kStateUnavailable,
     kScardETimeout, kStateUnknown | kStateUnavailable},
};

const auto kCaseName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(AtOnce, StatusChange, ::testing::ValuesIn(kAtOnce), kCaseName);
INSTANTIATE_TEST_SUITE_P(WhileWaiting, StatusChange, ::testing::ValuesIn(kWhileWaiting), kCaseName);

TEST_F(StatusChangeTest, ReportsEveryEntryAndWakesOnAnyOfThem) {
  pcsc.AddReader("Second Reader 01 00");
  ReaderState entries[] = {{kReader, kAsLaid}, {"Second Reader 01 00", kStateEmpty}, {kPnpNotification}};
  EXPECT_EQ(WaitWhile(entries, 3, 30000, [&] { pcsc.InsertToken("Second Reader 01 00", token); }), kScardSuccess);
  EXPECT_EQ(entries[0].eventState, kAsLaid);
  EXPECT_EQ(entries[1].eventState, kStatePresent | Count(1) | kStateChanged);
  EXPECT_EQ(entries[2].eventState, kStateUnaware);
}

TEST_F(StatusChangeTest, TimesOutNoSoonerThanAsked) {
  ReaderState entry{kReader, kAsLaid};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pcsc.GetStatusChange(world.context, 300, &entry, 1), kScardETimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_EQ(entry.eventState, kAsLaid);
}

TEST_F(StatusChangeTest, CancelEndsTheWaitOnItsContextPromptly) {
  PcscContext other = 0;
  ASSERT_EQ(pcsc.EstablishContext(kScopeSystem, &other), kScardSuccess);
  ReaderState otherEntry{kReader, kAsLaid};
  auto otherWait = std::async(std::launch::async, [&] { return pcsc.GetStatusChange(other, 30000, &otherEntry, 1); });
  ASSERT_TRUE(Eventually([&] { return pcsc.WaitingCalls() == 1; }));

  ReaderState entry{kReader, kAsLaid};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitWhile(&entry, 1, 30000, [&] { EXPECT_EQ(pcsc.Cancel(world.context), kScardSuccess); }),
            kScardECancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(pcsc.WaitingCalls(), 1);  // the wait on the other context goes on

  EXPECT_EQ(pcsc.Cancel(other), kScardSuccess);
  EXPECT_EQ(otherWait.get(), kScardECancelled);
  EXPECT_EQ(pcsc.ReleaseContext(other), kScardSuccess);

  // A Cancel while no call waits is not kept for the next call.
  EXPECT_EQ(pcsc.Cancel(world.context), kScardSuccess);
  EXPECT_EQ(pcsc.GetStatusChange(world.context, 200, &entry, 1), kScardETimeout);
}

TEST_F(StatusChangeTest, ServiceStoppingEndsTheWait) {
  ReaderState entry{kReader, kAsLaid};
  EXPECT_EQ(WaitWhile(&entry, 1, 30000, [&] { pcsc.SetServiceRunning(false); }), kScardFCommError);
  EXPECT_EQ(pcsc.GetStatusChange(world.context, 0, &entry, 1), kScardENoService);
}

// pcsc-lite's release waits for a call in progress on the same context; it
// does not end it. (There the waiting release also holds the library's global
// lock, so the process hangs: the waiting thread must be cancelled instead.)
TEST_F(StatusChangeTest, ReleaseWaitsForTheCallOnItsContext) {
  ReaderState entry{kReader, kAsLaid};
  int32_t released = 0;
  int waitingWhenReleased = -1;
  std::thread releaser;
  EXPECT_EQ(WaitWhile(&entry, 1, 1000,
                      [&] {
                        releaser = std::thread([&] {
                          released = pcsc.ReleaseContext(world.context);
                          waitingWhenReleased = pcsc.WaitingCalls();
                        });
                      }),
            kScardETimeout);
  releaser.join();
  EXPECT_EQ(released, kScardSuccess);
  EXPECT_EQ(waitingWhenReleased, 0);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  world.context = 0;
}

// The system seam serializes every call but a wait, which must neither hold
// up the other threads nor the Cancel that ends it.
TEST_F(StatusChangeTest, SerializedSeamLetsOthersCallWhileOneWaits) {
  tokenlink::SerializedPcsc serialized(pcsc);
  ReaderState entry{kReader, kAsLaid};
  auto waiting = std::async(std::launch::async,
                            [&] { return serialized.GetStatusChange(world.context, 30000, &entry, 1); });
  ASSERT_TRUE(Eventually([&] { return pcsc.WaitingCalls() == 1; }));
  PcscContext other = 0;
  EXPECT_EQ(serialized.EstablishContext(kScopeSystem, &other), kScardSuccess);
  EXPECT_EQ(serialized.ReleaseContext(other), kScardSuccess);
  EXPECT_EQ(serialized.Cancel(world.context), kScardSuccess);
  EXPECT_EQ(waiting.get(), kScardECancelled);
}

}  // namespace
