// The token commands end to end: pcsc-lite, an isolated pcscd, the vpcd driver
// and the virtual token; and waiting for the token's events there. The stack
// is started by the e2e_stack fixture; the token is driven and inspected
// through its control socket.
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card_session.h"
#include "pcsc_api.h"
#include "token_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The key the fixture gives the virtual token.
constexpr char kKeyHex[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
constexpr char kWrongKeyHex[] = "00112233445566778899AABBCCDDEEFF";
constexpr char kSerial[] = "ZZE2E0001";
constexpr int kTries = 5;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

const std::string& Reader() {
  static const std::string name = EnvOr("ZZ_READER", "Virtual PCD 00 00");
  return name;
}

// The control socket: ZZ_VTOKEN_CONTROL, else beside the stack's run/ directory
// that holds the pcscd socket (see scripts/pcsc-stack.sh).
std::string ControlPath() {
  std::string path = EnvOr("ZZ_VTOKEN_CONTROL", "");
  if (!path.empty()) return path;
  const std::string socket = EnvOr("PCSCLITE_CSOCK_NAME", "");
  const std::size_t run = socket.rfind("/run/");
  return run == std::string::npos ? std::string() : socket.substr(0, run) + "/control";
}

// One line to the virtual token's control socket; its reply.
std::string Control(const std::string& command) {
  const std::string path = ControlPath();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return "error: no control socket (set PCSCLITE_CSOCK_NAME or ZZ_VTOKEN_CONTROL)";
  std::strcpy(address.sun_path, path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return "error: cannot reach " + path;
  }
  const std::string line = command + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    close(fd);
    return "error: send";
  }
  std::string reply;
  char buffer[512];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return reply;
}

void MustControl(const std::string& command) {
  const std::string reply = Control(command);
  ASSERT_TRUE(reply.ends_with("ok\n")) << command << ": " << reply;
}

std::map<std::string, std::string> TokenState() {
  std::map<std::string, std::string> state;
  const std::string reply = Control("state");
  std::size_t start = 0;
  while (start < reply.size()) {
    const std::size_t end = reply.find('\n', start);
    const std::string line = reply.substr(start, end - start);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return state;
}

long StateNumber(const std::string& key) { return std::stol(TokenState().at(key)); }

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

// The output of a shell command, trailing newline removed.
std::string ShellOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

Bytes Digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
  out.resize(length);
  return out;
}

Bytes SeedOf(std::size_t length) {
  Bytes seed(length);
  for (std::size_t i = 0; i < length; ++i) seed[i] = static_cast<uint8_t>(0x31 + i * 7);
  return seed;
}

// A connection of its own to the reader for the length of a test, as the
// station's card monitor keeps one: pcscd powers an idle card off about half a
// second after the last handle closes, and the token then forgets its
// authentication, so a slow moment between two commands must not end it.
class CardKeptPowered {
 public:
  void Open() {
    tokenlink::PcscApi& pcsc = tokenlink::SystemPcsc();
    if (pcsc.EstablishContext(tokenlink::kScopeSystem, &m_context) != tokenlink::kScardSuccess) return;
    uint32_t protocol = 0;
    if (pcsc.Connect(m_context, Reader().c_str(), tokenlink::kShareShared,
                     tokenlink::kProtocolT0 | tokenlink::kProtocolT1, &m_card, &protocol) != tokenlink::kScardSuccess)
      m_card = 0;
  }
  void Close() {
    tokenlink::PcscApi& pcsc = tokenlink::SystemPcsc();
    if (m_card != 0) pcsc.Disconnect(m_card, tokenlink::kLeaveCard);
    if (m_context != 0) pcsc.ReleaseContext(m_context);
    m_card = m_context = 0;
  }

 private:
  tokenlink::PcscContext m_context = 0;
  tokenlink::PcscCard m_card = 0;
};

class TokenLinkE2e : public ::testing::Test {
 protected:
  // Every test starts on a new token lying on the reader.
  void SetUp() override {
    MustControl("factory");
    MustControl("insert");
    WaitForCard();
    m_keepPowered.Open();
  }
  void TearDown() override {
    m_keepPowered.Close();
    Control("clear-faults");
    Control("insert");
  }

  CardKeptPowered m_keepPowered;

  // pcscd notices a laid card on its next poll of the reader.
  void WaitForCard() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    tokenlink::TokenInfo info;
    while (tokenlink::ReadTokenInfo(Reader().c_str(), 32, 64, &info) != tokenlink::TL_OK) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no card on " << Reader();
      std::this_thread::sleep_for(50ms);
    }
  }

  static int32_t Authenticate(const char* key = kKeyHex) {
    return tokenlink::AuthenticateCustomerKey(Reader().c_str(), key);
  }

  static int32_t WriteSeed(const Bytes& seed, int algorithm) {
    return tokenlink::WriteSeed(Reader().c_str(), kKeyHex, seed.data(), static_cast<int>(seed.size()), algorithm);
  }
};

TEST_F(TokenLinkE2e, ReadsSerialNumberAndClock) {
  MustControl("set-clock 2024/02/29/12/00/00");
  tokenlink::TokenInfo info;
  ASSERT_EQ(tokenlink::ReadTokenInfo(Reader().c_str(), 32, 64, &info), tokenlink::TL_OK);
  EXPECT_EQ(info.serialNumber, kSerial);
  EXPECT_EQ(info.clockText.substr(0, 16), "2024-02-29 12:00");
}

TEST_F(TokenLinkE2e, RightKeyAuthenticates) {
  EXPECT_EQ(Authenticate(), tokenlink::TL_OK);
  EXPECT_EQ(StateNumber("tries_left"), kTries);
}

TEST_F(TokenLinkE2e, WrongKeyCountsDownToBlocked) {
  for (int left = kTries - 1; left >= 0; --left)
    EXPECT_EQ(Authenticate(kWrongKeyHex), tokenlink::TL_E_AUTH_RETRY + left);
  EXPECT_EQ(Authenticate(kWrongKeyHex), tokenlink::TL_E_KEY_LOCKED);
  EXPECT_EQ(Authenticate(kKeyHex), tokenlink::TL_E_KEY_LOCKED);
  EXPECT_EQ(StateNumber("tries_left"), 0);
}

TEST_F(TokenLinkE2e, ConfigureWritesEverySetting) {
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(tokenlink::ConfigureToken(Reader().c_str(), kKeyHex, "SHA256", 60, 120, "2024/02/29/12/00/00", 0),
            tokenlink::TL_OK);
  const auto state = TokenState();
  EXPECT_EQ(state.at("algorithm"), "2");
  EXPECT_EQ(state.at("time_step"), "60");
  EXPECT_EQ(state.at("display_time"), "120");
  EXPECT_EQ(state.at("param22"), "0");
  EXPECT_NEAR(std::stol(state.at("clock")), 0x65E071C0L, 5);
}

TEST_F(TokenLinkE2e, ConfigureWithoutAuthenticationIsRefused) {
  // A fresh token has not been authenticated.
  EXPECT_EQ(tokenlink::ConfigureToken(Reader().c_str(), kKeyHex, "SHA256", 60, 120, nullptr, -1),
            tokenlink::TL_E_CARD_STATUS);
  EXPECT_EQ(StateNumber("algorithm"), 1);
}

TEST_F(TokenLinkE2e, SyncSetsTheClock) {
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(tokenlink::SyncTokenClock(Reader().c_str(), kKeyHex, "2030/01/01/00/00/00", 0), tokenlink::TL_OK);
  const auto state = TokenState();
  EXPECT_NEAR(std::stol(state.at("clock")), 1893456000L, 5);
  EXPECT_EQ(state.at("param22"), "0");
}

// What the token stores: the seed itself up to 64 bytes; above, the seed's
// digest under its algorithm, zero-filled to 64 bytes.
struct SeedCase {
  std::size_t length;
  int algorithm;
};

void PrintTo(const SeedCase& c, std::ostream* out) { *out << c.length << " bytes, algorithm " << c.algorithm; }

class SeedWrite : public TokenLinkE2e, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(SeedWrite, TokenStoresWhatWasSent) {
  const Bytes seed = SeedOf(GetParam().length);
  Bytes expected = seed;
  if (seed.size() > 64) {
    expected = Digest(GetParam().algorithm == tokenlink::kSeedAlgorithmSha1 ? EVP_sha1() : EVP_sha256(), seed);
    expected.resize(64, 0x00);
  }
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(WriteSeed(seed, GetParam().algorithm), tokenlink::TL_OK);
  const auto state = TokenState();
  EXPECT_EQ(state.at("seed"), Hex(expected));
  EXPECT_EQ(state.at("seed_length"), std::to_string(expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SeedWrite,
                         ::testing::Values(SeedCase{15, 1}, SeedCase{16, 1}, SeedCase{20, 1}, SeedCase{64, 2},
                                           SeedCase{65, 1}, SeedCase{65, 2}, SeedCase{160, 1}, SeedCase{160, 2}),
                         [](const auto& info) {
                           return std::to_string(info.param.length) + (info.param.algorithm == 1 ? "_SHA1" : "_SHA256");
                         });

TEST_F(TokenLinkE2e, SealedTokenRefusesASeedWrite) {
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(WriteSeed(SeedOf(20), tokenlink::kSeedAlgorithmSha1), tokenlink::TL_OK);
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(tokenlink::SealToken(Reader().c_str(), kKeyHex), tokenlink::TL_OK);
  EXPECT_EQ(TokenState().at("sealed"), "1");

  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  EXPECT_EQ(WriteSeed(SeedOf(32), tokenlink::kSeedAlgorithmSha1), tokenlink::TL_E_CARD_STATUS);
  EXPECT_EQ(TokenState().at("seed"), Hex(SeedOf(20)));
}

// The token's own display code after a burn against oathtool's RFC 6238 code
// for the same seed at the same token time.
struct BurnCase {
  std::size_t seedLength;
  const char* algorithm;
  int timeStep;
};

void PrintTo(const BurnCase& c, std::ostream* out) {
  *out << c.seedLength << " bytes, " << c.algorithm << ", " << c.timeStep << " s";
}

class BurnedCode : public TokenLinkE2e, public ::testing::WithParamInterface<BurnCase> {};

TEST_P(BurnedCode, EqualsOathtool) {
  const BurnCase& c = GetParam();
  const Bytes seed = SeedOf(c.seedLength);
  const int algorithm = std::string(c.algorithm) == "SHA1" ? 1 : 2;
  // The station's burn: authenticate, configure, authenticate, write the seed.
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(tokenlink::ConfigureToken(Reader().c_str(), kKeyHex, c.algorithm, c.timeStep, 30, "2024/02/29/12/00/00", 0),
            tokenlink::TL_OK);
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  ASSERT_EQ(WriteSeed(seed, algorithm), tokenlink::TL_OK);

  const auto state = TokenState();
  ASSERT_FALSE(state.at("code").empty());
  const std::string mode = algorithm == 1 ? "sha1" : "sha256";
  const std::string expected = ShellOutput("oathtool --totp=" + mode + " -s " + std::to_string(c.timeStep) + " -d 6 -N @" +
                                   state.at("clock") + " " + Hex(seed));
  ASSERT_EQ(expected.size(), 6u) << "oathtool: " << expected;
  EXPECT_EQ(state.at("code"), expected);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BurnedCode,
                         ::testing::Values(BurnCase{20, "SHA1", 30}, BurnCase{32, "SHA256", 60},
                                           BurnCase{160, "SHA1", 30}, BurnCase{100, "SHA256", 30}),
                         [](const auto& info) {
                           return std::to_string(info.param.seedLength) + "_" + info.param.algorithm + "_" +
                                  std::to_string(info.param.timeStep);
                         });

TEST_F(TokenLinkE2e, CardPulledMidCommandLeavesTheSessionClosed) {
  // The card leaves after answering the challenge; the cryptogram finds no card.
  MustControl("pull-at 2");
  EXPECT_EQ(Authenticate(), tokenlink::TL_E_AUTH_EXCHANGE);
  EXPECT_EQ(tokenlink::CurrentCardSession().context, 0u);
  EXPECT_EQ(tokenlink::CurrentCardSession().card, 0u);
  EXPECT_EQ(TokenState().at("in_field"), "0");

  // Once pcscd has polled the empty reader, the open itself fails.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  tokenlink::TokenInfo info;
  int32_t result;
  while ((result = tokenlink::ReadTokenInfo(Reader().c_str(), 32, 64, &info)) != tokenlink::TL_E_NO_DEVICE &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(result, tokenlink::TL_E_NO_DEVICE);
}

TEST_F(TokenLinkE2e, AnswerWithoutStatusWordIsACardStatusFailure) {
  // The token side drops the connection instead of answering: the station
  // receives no bytes at all.
  MustControl("drop-at 1");
  tokenlink::TokenInfo info;
  EXPECT_EQ(tokenlink::ReadTokenInfo(Reader().c_str(), 32, 64, &info), tokenlink::TL_E_CARD_STATUS);
  EXPECT_EQ(tokenlink::CurrentCardSession().card, 0u);
}

TEST_F(TokenLinkE2e, UnknownReaderSendsNothing) {
  const long before = StateNumber("apdus");
  tokenlink::TokenInfo info;
  EXPECT_EQ(tokenlink::ReadTokenInfo("No Such Reader 00 00", 32, 64, &info), tokenlink::TL_E_NO_DEVICE);
  EXPECT_EQ(tokenlink::AuthenticateCustomerKey("No Such Reader 00 00", kKeyHex), tokenlink::TL_E_NO_DEVICE);
  EXPECT_EQ(StateNumber("apdus"), before);
  EXPECT_EQ(tokenlink::CurrentCardSession().context, 0u);
}

TEST_F(TokenLinkE2e, FaultStatusWordsReachTheCommands) {
  struct Case {
    const char* fault;
    int32_t expected;
  };
  const Case cases[] = {{"fail-ins CE 6A80", tokenlink::TL_E_AUTH_REJECTED},
                        {"fail-ins CE 63D1", tokenlink::TL_E_AUTH_REJECTED},
                        {"fail-ins CE 63C3", tokenlink::TL_E_AUTH_RETRY + 3},
                        {"fail-ins CE 6983", tokenlink::TL_E_KEY_LOCKED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    MustControl(c.fault);
    EXPECT_EQ(Authenticate(), c.expected);
  }
  MustControl("clear-faults");
  MustControl("fail-ins 41 6A82");
  tokenlink::TokenInfo info;
  EXPECT_EQ(tokenlink::ReadTokenInfo(Reader().c_str(), 32, 64, &info), tokenlink::TL_E_CARD_STATUS);
  MustControl("clear-faults");
  ASSERT_EQ(Authenticate(), tokenlink::TL_OK);
  MustControl("fail-ins C5 6A80");
  EXPECT_EQ(WriteSeed(SeedOf(20), 1), tokenlink::TL_E_CARD_STATUS);
  EXPECT_EQ(TokenState().at("seed"), "");
}

// Waiting for the token with pcsc-lite's GetStatusChange, as the monitors
// will. The test's own open handle makes INUSE come and go, so only presence,
// CHANGED and the count are looked at.
class StatusChangeE2e : public TokenLinkE2e {
 protected:
  void SetUp() override {
    TokenLinkE2e::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Pcsc().EstablishContext(tokenlink::kScopeSystem, &m_context), tokenlink::kScardSuccess);
  }
  void TearDown() override {
    if (m_context != 0) Pcsc().ReleaseContext(m_context);
    TokenLinkE2e::TearDown();
  }

  static tokenlink::PcscApi& Pcsc() { return tokenlink::SystemPcsc(); }

  // The reader's state now, fed back as what the caller believes.
  tokenlink::ReaderState Known() {
    tokenlink::ReaderState entry{Reader()};
    EXPECT_EQ(Pcsc().GetStatusChange(m_context, 0, &entry, 1), tokenlink::kScardSuccess);
    entry.currentState = entry.eventState & ~tokenlink::kStateChanged;
    return entry;
  }

  tokenlink::PcscContext m_context = 0;
};

constexpr uint32_t kPresence = tokenlink::kStateEmpty | tokenlink::kStatePresent | tokenlink::kStateChanged;

TEST_F(StatusChangeE2e, SeesTheTokenLeaveAndReturn) {
  tokenlink::ReaderState entry = Known();
  ASSERT_EQ(entry.currentState & tokenlink::kStatePresent, tokenlink::kStatePresent);
  const uint32_t laid = tokenlink::EventCount(entry.currentState);

  MustControl("remove");
  EXPECT_EQ(Pcsc().GetStatusChange(m_context, 10000, &entry, 1), tokenlink::kScardSuccess);
  EXPECT_EQ(entry.eventState & kPresence, tokenlink::kStateEmpty | tokenlink::kStateChanged);
  EXPECT_EQ(tokenlink::EventCount(entry.eventState), laid + 1);

  entry.currentState = entry.eventState & ~tokenlink::kStateChanged;
  MustControl("insert");
  EXPECT_EQ(Pcsc().GetStatusChange(m_context, 10000, &entry, 1), tokenlink::kScardSuccess);
  EXPECT_EQ(entry.eventState & kPresence, tokenlink::kStatePresent | tokenlink::kStateChanged);
  EXPECT_EQ(tokenlink::EventCount(entry.eventState), laid + 2);
}

// What the emulated stack copies from pcsc-lite: an unknown name fails the
// call; the PnP pseudo-reader is known and, without a reader event, unchanged.
TEST_F(StatusChangeE2e, UnknownReaderAndPnpPseudoReader) {
  tokenlink::ReaderState unknown{"No Such Reader 00 00"};
  EXPECT_EQ(Pcsc().GetStatusChange(m_context, 0, &unknown, 1), tokenlink::kScardEUnknownReader);
  tokenlink::ReaderState pnp{tokenlink::kPnpNotification};
  EXPECT_EQ(Pcsc().GetStatusChange(m_context, 0, &pnp, 1), tokenlink::kScardETimeout);
  EXPECT_EQ(pnp.eventState & (tokenlink::kStateUnknown | tokenlink::kStateChanged), 0u);
}

// Through the system seam, whose lock a wait must not hold.
TEST_F(StatusChangeE2e, CancelEndsAWaitPromptly) {
  tokenlink::ReaderState entry = Known();
  const auto start = std::chrono::steady_clock::now();
  auto waiting = std::async(std::launch::async,
                            [&] { return Pcsc().GetStatusChange(m_context, 30000, &entry, 1); });
  // pcsc-lite drops a Cancel that comes before the call waits: repeat it.
  while (waiting.wait_for(100ms) != std::future_status::ready && std::chrono::steady_clock::now() - start < 10s)
    EXPECT_EQ(Pcsc().Cancel(m_context), tokenlink::kScardSuccess);
  EXPECT_EQ(waiting.get(), tokenlink::kScardECancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
