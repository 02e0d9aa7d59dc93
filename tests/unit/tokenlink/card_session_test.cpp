// The card session: how it opens and closes, which PCI an exchange uses, the
// status-word test, and the reader's command lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "card_session.h"
#include "result_codes.h"
#include "scripted_pcsc.h"
#include "token_commands.h"

namespace tokenlink_test {
namespace {

using namespace tokenlink;

using CardSessionTest = ScriptedPcscTest;

TEST_F(CardSessionTest, OpensSharedOnSystemScopeAndClosesLeavingTheCard) {
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  EXPECT_NE(CurrentCardSession().context, 0u);
  EXPECT_NE(CurrentCardSession().card, 0u);
  EXPECT_EQ(CurrentCardSession().activeProtocol, kProtocolT1);
  EXPECT_EQ(pcsc.scope, kScopeSystem);
  EXPECT_EQ(pcsc.reader, "Reader A");
  EXPECT_EQ(pcsc.shareMode, kShareShared);
  EXPECT_EQ(pcsc.preferredProtocols, kProtocolT0 | kProtocolT1);

  EXPECT_EQ(CloseCardSession(), 0);
  EXPECT_EQ(pcsc.disposition, kLeaveCard);
  EXPECT_EQ(pcsc.calls,
            (std::vector<std::string>{"EstablishContext", "Connect", "Disconnect", "ReleaseContext"}));
}

TEST_F(CardSessionTest, ServiceNotRunningFailsTheOpenWithNothingLeftOpen) {
  pcsc.establishResult = kScardENoService;
  EXPECT_EQ(OpenCardSession("Reader A"), TL_E_NO_DEVICE);
  EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"EstablishContext"}));
  // The command lock was given back: the next open works.
  pcsc.establishResult = kScardSuccess;
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  CloseCardSession();
}

TEST_F(CardSessionTest, UnknownReaderReleasesTheContext) {
  pcsc.connectResult = kScardEUnknownReader;
  EXPECT_EQ(OpenCardSession("No such reader"), TL_E_NO_DEVICE);
  EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"EstablishContext", "Connect", "ReleaseContext"}));
  EXPECT_EQ(CurrentCardSession().activeProtocol, 0u);
}

TEST_F(CardSessionTest, MissingReaderNameFailsTheOpen) {
  EXPECT_EQ(OpenCardSession(nullptr), TL_E_NO_DEVICE);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 0);
}

TEST_F(CardSessionTest, OpenInsideAnOpenSessionOfTheSameThreadFailsInsteadOfHanging) {
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  EXPECT_EQ(OpenCardSession("Reader A"), TL_E_NO_DEVICE);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 1);
  CloseCardSession();
}

TEST_F(CardSessionTest, CloseWithoutOpenTouchesNothing) {
  EXPECT_EQ(CloseCardSession(), 0);
  EXPECT_TRUE(pcsc.calls.empty());
}

struct PciCase {
  uint32_t cardProtocol;
  uint32_t expectedPci;
};

class PciChoiceTest : public ScriptedPcscTest, public ::testing::WithParamInterface<PciCase> {};

TEST_P(PciChoiceTest, T0PciOnlyForExactlyT0) {
  pcsc.protocol = GetParam().cardProtocol;
  Script({Answer("90 00")});
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  const Bytes command = Hex("80 41 00 00 02 02 11");
  uint8_t response[kResponseBufferSize] = {};
  std::size_t length = sizeof response;
  EXPECT_EQ(TransmitApdu(command.data(), command.size(), response, &length), kScardSuccess);
  CloseCardSession();
  ASSERT_EQ(pcsc.transmitted.size(), 1u);
  EXPECT_EQ(pcsc.transmitted[0].protocol, GetParam().expectedPci);
  EXPECT_EQ(pcsc.transmitted[0].apdu, command);
  EXPECT_EQ(length, 2u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, PciChoiceTest,
                         ::testing::Values(PciCase{kProtocolT0, kProtocolT0}, PciCase{kProtocolT1, kProtocolT1},
                                           PciCase{kProtocolT0 | kProtocolT1, kProtocolT1},
                                           PciCase{0x10000, kProtocolT1}),
                         [](const auto& info) { return "CardProtocol" + std::to_string(info.param.cardProtocol); });

TEST_F(CardSessionTest, TransmitPassesThePcscErrorOnUnchanged) {
  Script({Failure(kScardWRemovedCard)});
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  const Bytes command = Hex("80 41 00 00 02 02 11");
  uint8_t response[kResponseBufferSize] = {};
  std::size_t length = sizeof response;
  EXPECT_EQ(TransmitApdu(command.data(), command.size(), response, &length), kScardWRemovedCard);
  CloseCardSession();
}

struct StatusCase {
  const char* response;
  bool success;
};

class StatusWordTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusWordTest, OnlyNineZeroZeroAtTheEndIsSuccess) {
  const Bytes response = Hex(GetParam().response);
  EXPECT_EQ(StatusIsSuccess(response.data(), response.size()), GetParam().success) << GetParam().response;
}

INSTANTIATE_TEST_SUITE_P(Words, StatusWordTest,
                         ::testing::Values(StatusCase{"90 00", true}, StatusCase{"01 02 03 90 00", true},
                                           StatusCase{"90 01", false}, StatusCase{"61 10", false},
                                           StatusCase{"6C 08", false}, StatusCase{"90 00 6A 82", false},
                                           StatusCase{"00 90", false},
                                           // No status word at all.
                                           StatusCase{"90", false}, StatusCase{"", false}),
                         [](const auto& info) {
                           std::string name = "Response";
                           for (const char* c = info.param.response; *c != '\0'; ++c)
                             if (*c != ' ') name += *c;
                           return name;
                         });

TEST(StatusWord, IsTheLastTwoBytesOrNothing) {
  const Bytes response = Hex("AA BB 63 C3");
  EXPECT_EQ(StatusWord(response.data(), response.size()), std::optional<uint16_t>(0x63C3));
  EXPECT_EQ(StatusWord(response.data(), 1), std::nullopt);
  EXPECT_EQ(StatusWord(response.data(), 0), std::nullopt);
}

// Commands on two readers run side by side: the second reader's exchange goes
// out while the first reader's is still waiting for its token's answer.
TEST_F(CardSessionTest, CommandsOnTwoReadersRunSideBySide) {
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  int inside = 0;
  int maxInside = 0;

  pcsc.responder = [](const Bytes&) { return Answer("90 00"); };
  pcsc.duringTransmit = [&] {
    std::unique_lock<std::mutex> lock(gateMutex);
    maxInside = std::max(maxInside, ++inside);
    gateChanged.notify_all();
    // The first exchange answers once the other reader's has gone out (or
    // after a while, when it cannot).
    gateChanged.wait_for(lock, std::chrono::seconds(2), [&] { return maxInside == 2; });
    --inside;
  };
  auto command = [](const char* reader, int32_t* result) {
    CardSessionScope session(reader);
    const Bytes apdu = Hex("80 4B 08 00 00");
    uint8_t response[kResponseBufferSize] = {};
    std::size_t length = sizeof response;
    *result = session.IsOpen() ? TransmitApdu(apdu.data(), apdu.size(), response, &length) : session.OpenResult();
  };

  int32_t firstResult = -1;
  int32_t secondResult = -1;
  std::thread first(command, "Reader A", &firstResult);
  {
    std::unique_lock<std::mutex> lock(gateMutex);
    gateChanged.wait(lock, [&] { return inside == 1; });
  }
  std::thread second(command, "Reader B", &secondResult);
  first.join();
  second.join();
  EXPECT_EQ(firstResult, kScardSuccess);
  EXPECT_EQ(secondResult, kScardSuccess);
  EXPECT_EQ(maxInside, 2);
}

// A thread that keeps its connection connects once for a run of commands;
// a first exchange that finds the connection stale (the card was swapped) is
// sent again on a new connection, never lost; letting go closes it.
TEST_F(CardSessionTest, KeptConnectionServesCommandsInTurnAndIsMadeAnewWhenStale) {
  auto command = [](int32_t* result) {
    CardSessionScope session("Reader A");
    const Bytes apdu = Hex("80 4B 08 00 00");
    uint8_t response[kResponseBufferSize] = {};
    std::size_t length = sizeof response;
    *result = session.IsOpen() ? TransmitApdu(apdu.data(), apdu.size(), response, &length) : session.OpenResult();
  };
  Script({Answer("90 00"), Answer("90 00"), Failure(kScardWRemovedCard), Answer("90 00")});
  KeepCardConnection(true);
  int32_t results[3] = {-1, -1, -1};
  for (int32_t& result : results) command(&result);
  EXPECT_EQ(results[0], kScardSuccess);
  EXPECT_EQ(results[1], kScardSuccess);
  EXPECT_EQ(results[2], kScardSuccess);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 2);
  EXPECT_EQ(pcsc.CountCalls("Transmit"), 4);
  EXPECT_EQ(pcsc.openCards, 1);
  KeepCardConnection(false);
  EXPECT_EQ(pcsc.openCards, 0);
  EXPECT_EQ(pcsc.openContexts, 0);
}

// An open on the same reader from a second thread waits until the first
// command has closed.
TEST_F(CardSessionTest, SecondOpenWaitsForTheFirstClose) {
  ASSERT_EQ(OpenCardSession("Reader A"), TL_OK);
  std::atomic<bool> secondOpened{false};
  std::thread second([&] {
    EXPECT_EQ(OpenCardSession("Reader A"), TL_OK);
    secondOpened = true;
    CloseCardSession();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(secondOpened.load());
  EXPECT_EQ(pcsc.CountCalls("Connect"), 1);
  // A close from a thread that did not open must not end this session.
  std::thread stranger([] { CloseCardSession(); });
  stranger.join();
  EXPECT_EQ(pcsc.CountCalls("Disconnect"), 0);

  CloseCardSession();
  second.join();
  EXPECT_TRUE(secondOpened.load());
  EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"EstablishContext", "Connect", "Disconnect", "ReleaseContext",
                                                  "EstablishContext", "Connect", "Disconnect", "ReleaseContext"}));
  EXPECT_EQ(pcsc.connectsWhileConnected, 0);
}

// The window's thread and the card monitor run whole commands at once: no
// command may connect while another holds the session, and no exchange may go
// to a card other than the one its command opened.
TEST_F(CardSessionTest, ConcurrentCommandsNeverInterleave) {
  pcsc.responder = [](const Bytes& apdu) {
    if (apdu[1] == INS_READ_INFO) return Answer("00 00 00 00 53 4E 31 00 00 65 E0 71 C0 90 00");
    if (apdu[1] == INS_CHALLENGE) return Answer("11 22 33 44 55 66 77 88 90 00");
    return Answer("90 00");
  };
  pcsc.duringTransmit = [] { std::this_thread::yield(); };

  constexpr int kRounds = 300;
  std::atomic<int> failures{0};
  std::thread monitor([&] {
    for (int i = 0; i < kRounds; ++i) {
      TokenInfo info;
      if (ReadTokenInfo("Reader A", 32, 64, &info) != TL_OK) ++failures;
      if (AuthenticateCustomerKey("Reader A", "0123456789ABCDEFFEDCBA9876543210") != TL_OK) ++failures;
    }
  });
  std::thread window([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (SyncTokenClock("Reader A", "0123456789ABCDEFFEDCBA9876543210", "2024/02/29/12/00/00", 0) != TL_OK)
        ++failures;
      if (SealToken("Reader A", "0123456789ABCDEFFEDCBA9876543210") != TL_OK) ++failures;
    }
  });
  monitor.join();
  window.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pcsc.connectsWhileConnected, 0);
  EXPECT_EQ(pcsc.transmitsOnForeignCard, 0);
  EXPECT_EQ(pcsc.CountCalls("Connect"), 4 * kRounds);
  EXPECT_EQ(pcsc.CountCalls("Transmit"), 5 * kRounds);
}

}  // namespace
}  // namespace tokenlink_test
