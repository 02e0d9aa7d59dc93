// A scripted PC/SC stack for the token-link tests: it records every call and
// every APDU and answers each exchange from a list of canned replies.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "card_session.h"
#include "pcsc_api.h"

namespace tokenlink_test {

using Bytes = std::vector<uint8_t>;

// "84 D4 00 00" or "84D40000" -> bytes.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (high < 0) {
      high = value;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The reader and the customer key of the command tests; the key is the
// GB/T 32907 example key.
constexpr const char* kReader = "ACS ACR1252 Dual Reader PICC 00 00";
constexpr const char* kKey = "0123456789ABCDEFFEDCBA9876543210";
inline const Bytes kKeyBytes = Hex(kKey);

// 00 01 02 .. length-1, as seeds of a given length.
inline Bytes Sequence(int length) {
  Bytes seed(static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i);
  return seed;
}

struct Reply {
  int32_t result = tokenlink::kScardSuccess;
  Bytes bytes;
};

inline Reply Answer(std::string_view hex) { return {tokenlink::kScardSuccess, Hex(hex)}; }
inline Reply Failure(int32_t result) { return {result, {}}; }

class ScriptedPcsc : public tokenlink::PcscApi {
 public:
  struct Transmitted {
    tokenlink::PcscCard card;
    uint32_t protocol;
    Bytes apdu;
  };

  // Script. Set before a command runs.
  int32_t establishResult = tokenlink::kScardSuccess;
  int32_t connectResult = tokenlink::kScardSuccess;
  uint32_t protocol = tokenlink::kProtocolT1;
  std::deque<Reply> replies;                     // one per exchange, in order
  std::function<Reply(const Bytes&)> responder;  // when the list is empty
  std::function<void()> duringTransmit;          // runs inside Transmit, unlocked

  // Record.
  std::vector<std::string> calls;
  std::vector<Transmitted> transmitted;
  uint32_t scope = 99, shareMode = 99, preferredProtocols = 99, disposition = 99;
  std::string reader;
  int openContexts = 0;
  int openCards = 0;
  int connectsWhileConnected = 0;   // a second command started inside another
  int transmitsOnForeignCard = 0;   // an exchange on a card that is not the open one

  int32_t EstablishContext(uint32_t requestedScope, tokenlink::PcscContext* context) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("EstablishContext");
    scope = requestedScope;
    if (establishResult != tokenlink::kScardSuccess) return establishResult;
    *context = nextContext_++;
    ++openContexts;
    return tokenlink::kScardSuccess;
  }

  int32_t ReleaseContext(tokenlink::PcscContext context) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("ReleaseContext");
    if (context != 0) --openContexts;
    return tokenlink::kScardSuccess;
  }

  int32_t ListReaders(tokenlink::PcscContext, char*, uint32_t*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("ListReaders");
    return tokenlink::kScardENoReadersAvailable;
  }

  int32_t Connect(tokenlink::PcscContext, const char* readerName, uint32_t share, uint32_t preferred,
                  tokenlink::PcscCard* card, uint32_t* activeProtocol) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("Connect");
    reader = readerName != nullptr ? readerName : "<null>";
    shareMode = share;
    preferredProtocols = preferred;
    if (openCards > 0) ++connectsWhileConnected;
    if (connectResult != tokenlink::kScardSuccess) return connectResult;
    currentCard_ = nextCard_++;
    *card = currentCard_;
    *activeProtocol = protocol;
    ++openCards;
    return tokenlink::kScardSuccess;
  }

  int32_t Disconnect(tokenlink::PcscCard card, uint32_t requestedDisposition) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("Disconnect");
    disposition = requestedDisposition;
    if (card != 0) --openCards;
    if (card == currentCard_) currentCard_ = 0;
    return tokenlink::kScardSuccess;
  }

  int32_t Transmit(tokenlink::PcscCard card, uint32_t pciProtocol, const uint8_t* command,
                   std::size_t commandLength, uint8_t* response, std::size_t* responseLength) override {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls.push_back("Transmit");
      if (card != currentCard_) ++transmitsOnForeignCard;
      transmitted.push_back({card, pciProtocol, Bytes(command, command + commandLength)});
      if (!replies.empty()) {
        reply = replies.front();
        replies.pop_front();
      } else if (responder) {
        reply = responder(transmitted.back().apdu);
      } else {
        ADD_FAILURE() << "unscripted exchange";
        reply = Answer("6F 00");
      }
    }
    if (duringTransmit) duringTransmit();
    if (reply.result != tokenlink::kScardSuccess) {
      *responseLength = 0;
      return reply.result;
    }
    EXPECT_LE(reply.bytes.size(), *responseLength);
    std::copy(reply.bytes.begin(), reply.bytes.end(), response);
    *responseLength = reply.bytes.size();
    return tokenlink::kScardSuccess;
  }

  // The token commands never wait for reader events.
  int32_t GetStatusChange(tokenlink::PcscContext, uint32_t, tokenlink::ReaderState*, std::size_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("GetStatusChange");
    return tokenlink::kScardETimeout;
  }

  int32_t Cancel(tokenlink::PcscContext) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back("Cancel");
    return tokenlink::kScardSuccess;
  }

  std::vector<Bytes> SentApdus() const {
    std::vector<Bytes> out;
    for (const Transmitted& t : transmitted) out.push_back(t.apdu);
    return out;
  }

  int CountCalls(const std::string& name) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
  }

 private:
  std::mutex mutex_;
  tokenlink::PcscContext nextContext_ = 0x1100;
  tokenlink::PcscCard nextCard_ = 0x2200;
  tokenlink::PcscCard currentCard_ = 0;
};

// Installs a ScriptedPcsc for one test and checks afterwards that the command
// left nothing open.
class ScriptedPcscTest : public ::testing::Test {
 protected:
  void SetUp() override { tokenlink::UsePcsc(&pcsc); }

  void TearDown() override {
    const tokenlink::CardSession& session = tokenlink::CurrentCardSession();
    EXPECT_EQ(session.context, 0u);
    EXPECT_EQ(session.card, 0u);
    EXPECT_EQ(pcsc.openContexts, 0);
    EXPECT_EQ(pcsc.openCards, 0);
    tokenlink::UsePcsc(nullptr);
  }

  void Script(std::initializer_list<Reply> replies) { pcsc.replies.assign(replies.begin(), replies.end()); }

  ScriptedPcsc pcsc;
};

}  // namespace tokenlink_test
