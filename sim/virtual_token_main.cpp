// virtual-token: serves the token emulator to pcscd as a card in a vsmartcard
// vpcd reader. vpcd listens on a TCP port; the card side connects to it, and
// every message either way is a 2-byte big-endian length and its bytes. A
// closed connection is a card taken out of the field.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sm4.h"
#include "token_clock.h"
#include "token_emulator.h"
#include "unix_socket.h"

namespace {

// Control messages of the vpcd protocol (a message of one byte).
constexpr uint8_t kVpcdPowerOff = 0;
constexpr uint8_t kVpcdPowerOn = 1;
constexpr uint8_t kVpcdReset = 2;
constexpr uint8_t kVpcdGetAtr = 4;

// TS 3B, T0 80, TD1 80 (T=0), TD2 01 (T=1), TCK 01: no historical bytes.
const std::vector<uint8_t> kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};

constexpr int kReconnectMs = 250;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
  const uint8_t byte = static_cast<uint8_t>(signo);
  [[maybe_unused]] ssize_t ignored = write(g_signalPipe[1], &byte, 1);
}

// Seconds since 1970, or a UTC date and time as the station's token time
// text year/month/day/hour/minute/second (years 1970 to 2099).
std::optional<uint32_t> ParseClock(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
  }
  uint32_t clock = 0;
  if (tokenlink::ParseDateTimeText(text.c_str(), text.size(), &clock) != 0) return std::nullopt;
  return clock;
}

std::optional<long> ParseNumber(const std::string& text, int base, long low, long high) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value < low || value > high) return std::nullopt;
  return value;
}

// "C5:6A80" or "C5 6A80".
std::optional<std::pair<uint8_t, uint16_t>> ParseFault(const std::string& ins, const std::string& sw) {
  const auto insValue = ParseNumber(ins, 16, 0, 0xFF);
  const auto swValue = ParseNumber(sw, 16, 0, 0xFFFF);
  if (!insValue || !swValue) return std::nullopt;
  return std::make_pair(static_cast<uint8_t>(*insValue), static_cast<uint16_t>(*swValue));
}

void Say(const std::string& line) {
  const tokenlink::ClockFields now = tokenlink::ClockFieldsOf(std::time(nullptr));
  std::printf("[%02d:%02d:%02d] %s\n", now.hour, now.minute, now.second, line.c_str());
  std::fflush(stdout);
}

bool WriteAll(int fd, const uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = recv(fd, data, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // vpcd writes a message's length and its bytes separately; a delayed ACK
    // of the first would hold the second back by Nagle's 40 ms on every APDU.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Options {
  sim::TokenConfig config;
  std::string host = "127.0.0.1";
  int port = 0x8C7B;
  std::vector<std::pair<uint8_t, uint16_t>> faults;
  int pullAt = 0;
  int answerDelayMs = 0;
  std::string controlPath;
};

void Usage() {
  std::fprintf(stderr,
               "usage: virtual-token [options]\n"
               "       virtual-token ctl SOCKET COMMAND [ARGS...]\n"
               "  --serial TEXT        serial number (default ZZ00000001)\n"
               "  --key HEX            customer key, 32 hexadecimal digits\n"
               "  --tries N            authentication tries before the key blocks (1-15, default 5)\n"
               "  --clock TIME         token clock: seconds since 1970 or Y/M/D/h/m/s (UTC); default: now\n"
               "  --host HOST          vpcd host (default 127.0.0.1)\n"
               "  --port PORT          vpcd port (default 35963)\n"
               "  --fail-ins INS:SW    answer instruction INS with status word SW (hex), repeatable\n"
               "  --pull-at N          take the card out of the field so that the N-th APDU fails\n"
               "  --answer-delay MS    answer each APDU this many milliseconds late, as a slow card does\n"
               "  --control PATH       UNIX socket for control commands (state, remove, insert, ...)\n"
               "Control commands: state, remove, insert, toggle, power-off, factory, serial TEXT (another\n"
               "token, new and out of the field), pull-at N (while out of the field, pull-at 1 takes the\n"
               "card away right after its next power-up), drop-at N, hold-at N (carry out the N-th APDU\n"
               "and keep its answer back until release), release, fail-ins INS SW, clear-faults,\n"
               "set-clock TIME.\n"
               "Keys on a terminal: r = take out of / lay on the field, s = state, q = quit.\n"
               "SIGUSR1 also takes the card out of / lays it on the field.\n");
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help") return std::nullopt;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "virtual-token: %s needs a value\n", name.c_str());
      return std::nullopt;
    }
    const std::string value = argv[++i];
    bool ok = true;
    if (name == "--serial") {
      ok = !value.empty() && value.size() <= 64;
      options.config.serialNumber = value;
    } else if (name == "--key") {
      ok = value.size() == 32 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
      options.config.customerKeyHex = value;
    } else if (name == "--tries") {
      const auto tries = ParseNumber(value, 10, 1, 15);
      ok = tries.has_value();
      if (ok) options.config.tries = static_cast<int>(*tries);
    } else if (name == "--clock") {
      const auto clock = ParseClock(value);
      ok = clock.has_value();
      if (ok) options.config.clockBase = *clock;
    } else if (name == "--host") {
      options.host = value;
    } else if (name == "--port") {
      const auto port = ParseNumber(value, 10, 1, 65535);
      ok = port.has_value();
      if (ok) options.port = static_cast<int>(*port);
    } else if (name == "--fail-ins") {
      const auto colon = value.find(':');
      const auto fault = colon == std::string::npos ? std::nullopt
                                                    : ParseFault(value.substr(0, colon), value.substr(colon + 1));
      ok = fault.has_value();
      if (ok) options.faults.push_back(*fault);
    } else if (name == "--pull-at") {
      const auto n = ParseNumber(value, 10, 0, 1000000);
      ok = n.has_value();
      if (ok) options.pullAt = static_cast<int>(*n);
    } else if (name == "--answer-delay") {
      const auto n = ParseNumber(value, 10, 0, 10000);
      ok = n.has_value();
      if (ok) options.answerDelayMs = static_cast<int>(*n);
    } else if (name == "--control") {
      options.controlPath = value;
    } else {
      std::fprintf(stderr, "virtual-token: unknown option %s\n", name.c_str());
      return std::nullopt;
    }
    if (!ok) {
      std::fprintf(stderr, "virtual-token: bad value for %s: %s\n", name.c_str(), value.c_str());
      return std::nullopt;
    }
  }
  return options;
}

class VirtualToken {
 public:
  explicit VirtualToken(const Options& options) : m_options(options), m_config(options.config) {
    NewToken();
    for (const auto& [ins, sw] : options.faults) m_token->FailInstruction(ins, sw);
  }

  int Run();

 private:
  void ConnectToReader();
  void Disconnect(const std::string& why);
  void TakeOut(const std::string& why);
  void LayOn(const std::string& why);
  void Toggle(const std::string& why);
  // false when the connection is gone.
  bool ServeReader();
  void ArmPull(int n);
  // A token of the configuration in its factory state, without faults.
  void NewToken();
  void ShowCodeIfStepChanged(bool force);
  std::string StateText() const;
  std::string Command(const std::string& line);
  void ServeControlClient(int client);
  bool OpenControlSocket();
  void HandleKey(char key);

  const Options& m_options;
  sim::TokenConfig m_config;  // of the token in hand; `serial` changes its serial number
  std::unique_ptr<sim::TokenEmulator> m_token;
  int m_reader = -1;   // connection to vpcd; -1 while out of the field or waiting
  bool m_inField = true;
  bool m_powered = false;
  bool m_waitingShown = false;
  bool m_quit = false;
  int m_pullCountdown = 0;  // the n-th APDU from now must fail as a pulled card
  bool m_pullAtPowerUp = false;  // leave the field right after the next power-up
  int m_dropCountdown = 0;  // the n-th APDU from now gets no answer: the connection closes
  // The n-th APDU from now is carried out and its answer kept back until
  // `release`: a test can act while a program waits for that answer.
  int m_holdCountdown = 0;
  std::optional<std::vector<uint8_t>> m_heldAnswer;
  long m_apdus = 0;
  std::chrono::steady_clock::time_point m_nextAttempt{};
  std::optional<uint64_t> m_shownStep;
  std::vector<uint8_t> m_shownSeed;
  int m_control = -1;
};

void VirtualToken::ConnectToReader() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(m_options.port);
  if (getaddrinfo(m_options.host.c_str(), port.c_str(), &hints, &found) != 0) return;
  for (addrinfo* a = found; a != nullptr && m_reader < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      m_reader = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (m_reader >= 0) {
    m_waitingShown = false;
    Say("card laid on the reader (vpcd " + m_options.host + ":" + port + ")");
  } else if (!m_waitingShown) {
    m_waitingShown = true;
    Say("waiting for the vpcd reader at " + m_options.host + ":" + port);
  }
}

void VirtualToken::Disconnect(const std::string& why) {
  if (m_reader >= 0) {
    close(m_reader);
    m_reader = -1;
    Say("card out of the field: " + why);
  }
  m_powered = false;
  m_token->PowerOff();
  m_nextAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReconnectMs);
}

void VirtualToken::TakeOut(const std::string& why) {
  m_inField = false;
  m_pullCountdown = 0;
  m_dropCountdown = 0;
  m_holdCountdown = 0;
  m_heldAnswer.reset();
  m_pullAtPowerUp = false;
  Disconnect(why);
}

void VirtualToken::LayOn(const std::string& why) {
  if (m_inField) return;
  m_inField = true;
  Say("laying the card on the reader: " + why);
  ConnectToReader();
}

void VirtualToken::Toggle(const std::string& why) {
  if (m_inField)
    TakeOut(why);
  else
    LayOn(why);
}

void VirtualToken::NewToken() {
  m_token = std::make_unique<sim::TokenEmulator>(m_config);
  m_token->SetChangeListener([](const std::string& what) { Say("token: " + what); });
  m_shownStep.reset();
}

void VirtualToken::ArmPull(int n) {
  m_pullCountdown = n;
  if (n != 1) return;
  if (m_inField) {
    // The first APDU from now can only fail if the card is gone already.
    TakeOut("pulled before the next APDU");
  } else {
    // Out of the field: the card will be laid on, powered up by the reader
    // and gone again before its first APDU, which then fails.
    m_pullCountdown = 0;
    m_pullAtPowerUp = true;
  }
}

bool VirtualToken::ServeReader() {
  uint8_t header[2];
  if (!ReadAll(m_reader, header, 2)) return false;
  const std::size_t length = static_cast<std::size_t>(header[0]) << 8 | header[1];
  std::vector<uint8_t> message(length);
  if (length > 0 && !ReadAll(m_reader, message.data(), length)) return false;

  std::vector<uint8_t> answer;
  if (length == 1) {
    switch (message[0]) {
      case kVpcdPowerOff:
        m_powered = false;
        m_token->PowerOff();
        return true;
      case kVpcdReset:
        m_token->PowerOff();
        m_powered = true;
        return true;
      case kVpcdPowerOn:
        m_powered = true;
        return true;
      case kVpcdGetAtr:
        m_powered = true;
        answer = kAtr;
        break;
      default:
        return true;
    }
  } else if (length > 1) {
    ++m_apdus;
    if (m_dropCountdown > 0 && --m_dropCountdown == 0) {
      Disconnect("connection dropped instead of an answer");
      return true;
    }
    answer = m_token->Process(message);
    if (m_holdCountdown > 0 && --m_holdCountdown == 0) {
      m_heldAnswer = answer;
      Say("answer held until `release`");
      return true;
    }
    if (m_options.answerDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_options.answerDelayMs));
  } else {
    return true;
  }

  const uint8_t lengthBytes[2] = {static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())};
  if (!WriteAll(m_reader, lengthBytes, 2) || !WriteAll(m_reader, answer.data(), answer.size())) return false;
  if (length == 1 && m_pullAtPowerUp) {
    m_pullAtPowerUp = false;
    TakeOut("pulled right after the power-up");
    return true;
  }
  if (length > 1 && m_pullCountdown > 0 && --m_pullCountdown == 1) TakeOut("pulled out after the answer");
  return true;
}

void VirtualToken::ShowCodeIfStepChanged(bool force) {
  const sim::TokenState state = m_token->State();
  const uint64_t step = state.clock / static_cast<uint32_t>(state.timeStep);
  if (!force && m_shownStep == step && m_shownSeed == state.seed) return;
  m_shownStep = step;
  m_shownSeed = state.seed;
  const auto code = m_token->CodeAt(state.clock);
  char line[160];
  if (code)
    std::snprintf(line, sizeof line, "display %06u   (%s, %d s step, token clock %s UTC)", *code,
                  state.algorithm == 2 ? "SHA256" : "SHA1", state.timeStep, tokenlink::FormatTokenClock(state.clock).c_str());
  else
    std::snprintf(line, sizeof line, "display ------   (no seed; token clock %s UTC)", tokenlink::FormatTokenClock(state.clock).c_str());
  Say(line);
}

std::string VirtualToken::StateText() const {
  const sim::TokenState state = m_token->State();
  const auto code = m_token->CodeAt(state.clock);
  std::ostringstream out;
  out << "serial=" << m_config.serialNumber << "\n"
      << "in_field=" << (m_inField ? 1 : 0) << "\n"
      << "connected=" << (m_reader >= 0 ? 1 : 0) << "\n"
      << "powered=" << (m_powered ? 1 : 0) << "\n"
      << "seed=" << tokenlink::BytesToHex(state.seed.data(), state.seed.size()) << "\n"
      << "seed_length=" << state.seed.size() << "\n"
      << "algorithm=" << state.algorithm << "\n"
      << "time_step=" << state.timeStep << "\n"
      << "display_time=" << state.displayTime << "\n"
      << "param22=" << state.param22 << "\n"
      << "sealed=" << (state.sealed ? 1 : 0) << "\n"
      << "authenticated=" << (state.authenticated ? 1 : 0) << "\n"
      << "tries_left=" << state.triesLeft << "\n"
      << "clock=" << state.clock << "\n"
      << "code=";
  if (code) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", *code);
    out << digits;
  }
  out << "\n"
      << "apdus=" << m_apdus << "\n"
      << "held=" << (m_heldAnswer ? 1 : 0) << "\n";
  return out.str();
}

// One command line of the control channel; the reply ends with "ok" or "error: ...".
std::string VirtualToken::Command(const std::string& line) {
  std::istringstream in(line);
  std::string verb, a, b;
  in >> verb >> a >> b;
  if (verb == "state") return StateText() + "ok\n";
  if (verb == "remove") {
    TakeOut("control");
    return "ok\n";
  }
  if (verb == "insert") {
    LayOn("control");
    return "ok\n";
  }
  if (verb == "toggle") {
    Toggle("control");
    return "ok\n";
  }
  if (verb == "power-off") {
    m_token->PowerOff();
    return "ok\n";
  }
  if (verb == "pull-at" || verb == "drop-at") {
    const auto n = ParseNumber(a, 10, 0, 1000000);
    if (!n) return "error: " + verb + " needs a count\n";
    if (verb == "pull-at")
      ArmPull(static_cast<int>(*n));
    else
      m_dropCountdown = static_cast<int>(*n);
    return "ok\n";
  }
  if (verb == "hold-at") {
    const auto n = ParseNumber(a, 10, 1, 1000000);
    if (!n) return "error: hold-at needs a count\n";
    m_holdCountdown = static_cast<int>(*n);
    return "ok\n";
  }
  if (verb == "release") {
    if (!m_heldAnswer) return "error: no answer is held\n";
    const std::vector<uint8_t> answer = std::move(*m_heldAnswer);
    m_heldAnswer.reset();
    const uint8_t lengthBytes[2] = {static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())};
    if (m_reader >= 0 && !(WriteAll(m_reader, lengthBytes, 2) && WriteAll(m_reader, answer.data(), answer.size()))) {
      Disconnect("the reader closed the connection");
    }
    return "ok\n";
  }
  if (verb == "fail-ins") {
    const auto fault = ParseFault(a, b);
    if (!fault) return "error: usage: fail-ins INS SW (hexadecimal)\n";
    m_token->FailInstruction(fault->first, fault->second);
    return "ok\n";
  }
  if (verb == "serial") {
    if (a.empty() || a.size() > 64) return "error: usage: serial TEXT (1 to 64 characters)\n";
    // Another token: the one in hand leaves the field and a new one, in its
    // factory state, takes its place; `insert` lays it on.
    TakeOut("another token");
    m_config.serialNumber = a;
    NewToken();
    Say("new token " + a);
    ShowCodeIfStepChanged(true);
    return "ok\n";
  }
  if (verb == "clear-faults") {
    m_token->ClearFaults();
    m_pullCountdown = 0;
    m_dropCountdown = 0;
    m_holdCountdown = 0;
    m_pullAtPowerUp = false;
    return "ok\n";
  }
  if (verb == "set-clock") {
    const auto clock = ParseClock(a);
    if (!clock) return "error: usage: set-clock SECONDS|Y/M/D/h/m/s\n";
    m_token->SetClock(*clock);
    ShowCodeIfStepChanged(true);
    return "ok\n";
  }
  if (verb == "factory") {
    m_token->FactoryReset();
    m_token->ClearFaults();
    m_pullCountdown = 0;
    m_dropCountdown = 0;
    m_pullAtPowerUp = false;
    Say("factory state");
    ShowCodeIfStepChanged(true);
    return "ok\n";
  }
  return "error: unknown command '" + verb + "'\n";
}

void VirtualToken::ServeControlClient(int client) {
  timeval timeout{2, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string line;
  char c;
  while (line.size() < 256 && recv(client, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
  const std::string reply = Command(line);
  WriteAll(client, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  close(client);
}

bool VirtualToken::OpenControlSocket() {
  if (m_options.controlPath.empty()) return true;
  m_control = sim::ListenOnUnixPath(m_options.controlPath, SOCK_CLOEXEC, 8);
  return m_control >= 0;
}

void VirtualToken::HandleKey(char key) {
  switch (key) {
    case 'r':
    case 'R':
      Toggle("key r");
      break;
    case 's':
    case 'S':
      std::fputs(StateText().c_str(), stdout);
      std::fflush(stdout);
      break;
    case 'q':
    case 'Q':
      m_quit = true;
      break;
    default:
      break;
  }
}

int VirtualToken::Run() {
  if (!OpenControlSocket()) {
    std::fprintf(stderr, "virtual-token: cannot open the control socket %s: %s\n", m_options.controlPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const bool keys = isatty(STDIN_FILENO) == 1;
  termios savedTerminal{};
  if (keys) {
    tcgetattr(STDIN_FILENO, &savedTerminal);
    termios raw = savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }

  Say("virtual token " + m_config.serialNumber + ", " + std::to_string(m_options.config.tries) +
      " tries, token clock " + tokenlink::FormatTokenClock(m_token->Clock()) + " UTC" +
      (keys ? "  [r = out of/on the field, s = state, q = quit]" : ""));
  ConnectToReader();
  ShowCodeIfStepChanged(true);
  if (m_options.pullAt > 0) ArmPull(m_options.pullAt);

  while (!m_quit) {
    std::vector<pollfd> fds;
    fds.push_back({g_signalPipe[0], POLLIN, 0});
    const std::size_t readerIndex = fds.size();
    if (m_reader >= 0) fds.push_back({m_reader, POLLIN, 0});
    const std::size_t controlIndex = fds.size();
    if (m_control >= 0) fds.push_back({m_control, POLLIN, 0});
    const std::size_t keyIndex = fds.size();
    if (keys) fds.push_back({STDIN_FILENO, POLLIN, 0});

    if (poll(fds.data(), fds.size(), kReconnectMs) < 0 && errno != EINTR) break;

    if (fds[0].revents & POLLIN) {
      uint8_t signo = 0;
      if (read(g_signalPipe[0], &signo, 1) == 1) {
        if (signo == SIGUSR1)
          Toggle("SIGUSR1");
        else
          m_quit = true;
      }
    }
    if (m_reader >= 0 && readerIndex < fds.size() && fds[readerIndex].fd == m_reader &&
        (fds[readerIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!ServeReader()) Disconnect("the reader closed the connection");
    }
    if (m_control >= 0 && controlIndex < fds.size() && (fds[controlIndex].revents & POLLIN)) {
      const int client = accept4(m_control, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) ServeControlClient(client);
    }
    if (keys && keyIndex < fds.size() && (fds[keyIndex].revents & POLLIN)) {
      char key = 0;
      if (read(STDIN_FILENO, &key, 1) == 1) HandleKey(key);
    }
    if (m_inField && m_reader < 0 && std::chrono::steady_clock::now() >= m_nextAttempt) {
      ConnectToReader();
      if (m_reader < 0) m_nextAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReconnectMs);
    }
    ShowCodeIfStepChanged(false);
  }

  if (m_reader >= 0) close(m_reader);
  if (m_control >= 0) {
    close(m_control);
    unlink(m_options.controlPath.c_str());
  }
  if (keys) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  Say("virtual token stopped");
  return 0;
}

// `virtual-token ctl PATH COMMAND...`: one command to a running token's
// control socket; prints the reply, exit status 0 when it ends in "ok".
int SendControlCommand(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: virtual-token ctl SOCKET COMMAND [ARGS...]\n");
    return 2;
  }
  const int fd = sim::ConnectToUnixPath(argv[2]);
  if (fd < 0) {
    std::fprintf(stderr, "virtual-token: cannot reach %s: %s\n", argv[2], std::strerror(errno));
    return 3;
  }
  std::string line;
  for (int i = 3; i < argc; ++i) line += std::string(i > 3 ? " " : "") + argv[i];
  line += "\n";
  WriteAll(fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
  std::string reply;
  char buffer[512];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  std::fputs(reply.c_str(), stdout);
  const bool ok = reply.size() >= 3 && reply.compare(reply.size() - 3, 3, "ok\n") == 0;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) return SendControlCommand(argc, argv);
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    Usage();
    return 2;
  }
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGUSR1, SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  VirtualToken token(*options);
  return token.Run();
}
