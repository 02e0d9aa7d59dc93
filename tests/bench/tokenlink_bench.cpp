// Prints the median time of each token command and of a whole burn sequence
// over pcscd and the reader given (the virtual token: scripts/bench-tokenlink.sh),
// next to the same APDUs sent by a bare pcsc-lite loop that opens and closes
// the same way, and the ratio of the two.
#include <winscard.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sm4.h"
#include "token_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string g_reader;
std::string g_key = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
std::array<uint8_t, 16> g_keyBytes{};
constexpr char kClockText[] = "2024/02/29/12/00/00";

struct Medians {
  double station;
  double bare;
};

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// n runs of each, alternating so that both meet the same load on the machine;
// stops the program when a run fails.
Medians MedianMs(int n, const std::function<bool()>& setUp, const std::function<bool()>& station,
                 const std::function<bool()>& bare, const char* what) {
  std::vector<double> stationTimes, bareTimes;
  for (int i = 0; i < 2 * n; ++i) {
    const bool isStation = i % 2 == 0;
    if (setUp && !setUp()) {
      std::fprintf(stderr, "%s: preparation failed\n", what);
      std::exit(1);
    }
    const auto start = Clock::now();
    const bool ok = isStation ? station() : bare();
    const auto stop = Clock::now();
    if (!ok) {
      std::fprintf(stderr, "%s: %s run %d failed\n", what, isStation ? "station" : "bare", i / 2);
      std::exit(1);
    }
    (isStation ? stationTimes : bareTimes).push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  return {Median(stationTimes), Median(bareTimes)};
}

// The bare loop: one context and one connection per command, like the station.
class BareSession {
 public:
  bool Open() {
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) != SCARD_S_SUCCESS) return false;
    if (SCardConnect(m_context, g_reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_card,
                     &m_protocol) != SCARD_S_SUCCESS) {
      SCardReleaseContext(m_context);
      return false;
    }
    return true;
  }
  // The response, or empty on a failed transmission.
  Bytes Transmit(const Bytes& apdu) {
    Bytes response(1024);
    DWORD length = static_cast<DWORD>(response.size());
    const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    if (SCardTransmit(m_card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response.data(), &length) !=
        SCARD_S_SUCCESS)
      return {};
    response.resize(length);
    return response;
  }
  void Close() {
    SCardDisconnect(m_card, SCARD_LEAVE_CARD);
    SCardReleaseContext(m_context);
  }

 private:
  SCARDCONTEXT m_context = 0;
  SCARDHANDLE m_card = 0;
  DWORD m_protocol = 0;
};

bool EndsOk(const Bytes& r) { return r.size() >= 2 && r[r.size() - 2] == 0x90 && r.back() == 0x00; }

bool BareExchange(const std::vector<Bytes>& apdus) {
  BareSession session;
  if (!session.Open()) return false;
  bool ok = true;
  for (const Bytes& apdu : apdus) ok = ok && EndsOk(session.Transmit(apdu));
  session.Close();
  return ok;
}

bool BareAuthenticate() {
  BareSession session;
  if (!session.Open()) return false;
  const Bytes challenge = session.Transmit({0x80, 0x4B, 0x08, 0x00, 0x00});
  std::array<uint8_t, 16> block{};
  std::copy_n(challenge.begin(), std::min<std::size_t>(8, challenge.size()), block.begin());
  std::array<uint8_t, 16> cryptogram{};
  std::size_t capacity = cryptogram.size();
  tokenlink::Sm4EcbCrypt(g_keyBytes.data(), block.data(), 16, cryptogram.data(), &capacity, tokenlink::kSm4Encrypt);
  Bytes apdu = {0x80, 0xCE, 0x00, 0x00, 0x10};
  apdu.insert(apdu.end(), cryptogram.begin(), cryptogram.end());
  const bool ok = EndsOk(session.Transmit(apdu));
  session.Close();
  return ok;
}

std::string FirstReader() {
  SCARDCONTEXT context;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return {};
  char names[4096];
  DWORD length = sizeof names;
  std::string first;
  if (SCardListReaders(context, nullptr, names, &length) == SCARD_S_SUCCESS) first = names;
  SCardReleaseContext(context);
  return first;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const char* reader = std::getenv("ZZ_READER");
  g_reader = reader != nullptr && *reader != '\0' ? reader : FirstReader();
  if (const char* key = std::getenv("ZZ_CUSTOMER_KEY"); key != nullptr && std::strlen(key) == 32) g_key = key;
  tokenlink::HexToBytes(g_key.c_str(), g_keyBytes.data());
  if (g_reader.empty()) {
    std::fprintf(stderr, "tokenlink_bench: no reader (is PCSCLITE_CSOCK_NAME set?)\n");
    return 1;
  }
  const char* r = g_reader.c_str();
  const char* k = g_key.c_str();

  // The same bytes the commands send: the MAC depends on the key and data only.
  const Bytes info = {0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11};
  const uint32_t clock = 0x65E071C0;  // kClockText
  const Bytes record = {0x81, 0x14, 0x1F, 0x01, 0x01, 0x22, 0x01, 0x00, 0x0F, 0x04,
                        static_cast<uint8_t>(clock >> 24), static_cast<uint8_t>(clock >> 16),
                        static_cast<uint8_t>(clock >> 8), static_cast<uint8_t>(clock),
                        0x86, 0x06, 0x0A, 0x01, 0x01, 0x0D, 0x01, 0x1E};
  const Bytes configure = tokenlink::BuildProtectedApdu(g_keyBytes.data(), 0xD4, 0x00, 0x00, record.data(), record.size());
  const Bytes syncRecord(record.begin() + 8, record.begin() + 14);
  Bytes sync = {0x81, 0x09};
  sync.insert(sync.end(), syncRecord.begin(), syncRecord.end());
  sync.insert(sync.end(), {0x22, 0x01, 0x00});
  const Bytes syncApdu = tokenlink::BuildProtectedApdu(g_keyBytes.data(), 0xD4, 0x00, 0x00, sync.data(), sync.size());
  Bytes seed(20);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(0xA0 + i);
  const Bytes padded = tokenlink::PadIso9797M2(seed.data(), seed.size());
  Bytes cipher(padded.size());
  std::size_t capacity = cipher.size();
  tokenlink::Sm4EcbCrypt(g_keyBytes.data(), padded.data(), padded.size(), cipher.data(), &capacity,
                         tokenlink::kSm4Encrypt);
  const Bytes seedApdu = tokenlink::BuildProtectedApdu(g_keyBytes.data(), 0xC5, 0x01, 0x00, cipher.data(), cipher.size());
  const Bytes sealApdu = tokenlink::BuildProtectedApdu(g_keyBytes.data(), 0xC7, 0x00, 0x00, nullptr, 0);

  auto auth = [&] { return tokenlink::AuthenticateCustomerKey(r, k) == tokenlink::TL_OK; };
  struct Row {
    const char* name;
    std::function<bool()> setUp;
    std::function<bool()> station;
    std::function<bool()> bare;
  };
  const std::vector<Row> rows = {
      {"ReadTokenInfo", nullptr,
       [&] {
         tokenlink::TokenInfo out;
         return tokenlink::ReadTokenInfo(r, 32, 64, &out) == tokenlink::TL_OK;
       },
       [&] { return BareExchange({info}); }},
      {"AuthenticateCustomerKey", nullptr, auth, BareAuthenticate},
      {"ConfigureToken", auth,
       [&] { return tokenlink::ConfigureToken(r, k, "SHA1", 30, 30, kClockText, 0) == tokenlink::TL_OK; },
       [&] { return BareExchange({configure}); }},
      {"SyncTokenClock", auth, [&] { return tokenlink::SyncTokenClock(r, k, kClockText, 0) == tokenlink::TL_OK; },
       [&] { return BareExchange({syncApdu}); }},
      {"WriteSeed (20 bytes)", auth,
       [&] {
         return tokenlink::WriteSeed(r, k, seed.data(), static_cast<int>(seed.size()), 1) == tokenlink::TL_OK;
       },
       [&] { return BareExchange({seedApdu}); }},
      {"burn: auth, configure, auth, seed", nullptr,
       [&] {
         return auth() && tokenlink::ConfigureToken(r, k, "SHA1", 30, 30, kClockText, 0) == tokenlink::TL_OK &&
                auth() &&
                tokenlink::WriteSeed(r, k, seed.data(), static_cast<int>(seed.size()), 1) == tokenlink::TL_OK;
       },
       [&] { return BareAuthenticate() && BareExchange({configure}) && BareAuthenticate() && BareExchange({seedApdu}); }},
      // Last: the token stays sealed.
      {"SealToken", auth, [&] { return tokenlink::SealToken(r, k) == tokenlink::TL_OK; },
       [&] { return BareExchange({sealApdu}); }},
  };

  std::printf("reader: %s, %d runs each, median times\n\n", g_reader.c_str(), runs);
  std::printf("%-36s %12s %12s %8s\n", "command", "station ms", "bare ms", "ratio");
  for (const Row& row : rows) {
    const Medians m = MedianMs(runs, row.setUp, row.station, row.bare, row.name);
    std::printf("%-36s %12.3f %12.3f %8.2f\n", row.name, m.station, m.bare, m.station / m.bare);
    std::fflush(stdout);
  }
  return 0;
}
