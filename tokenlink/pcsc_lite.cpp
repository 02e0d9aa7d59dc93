// The PC/SC seam over pcsc-lite: the only file of the station that includes
// <winscard.h>. Handles and lengths are converted at this border only.
#include <winscard.h>

#include <atomic>
#include <limits>
#include <vector>

#include "pcsc_api.h"
#include "serialized_pcsc.h"

namespace tokenlink {
namespace {

// The seam's numbers are pcsc-lite's.
static_assert(kStateUnaware == SCARD_STATE_UNAWARE && kStateIgnore == SCARD_STATE_IGNORE &&
              kStateChanged == SCARD_STATE_CHANGED && kStateUnknown == SCARD_STATE_UNKNOWN &&
              kStateUnavailable == SCARD_STATE_UNAVAILABLE && kStateEmpty == SCARD_STATE_EMPTY &&
              kStatePresent == SCARD_STATE_PRESENT && kStateAtrMatch == SCARD_STATE_ATRMATCH &&
              kStateExclusive == SCARD_STATE_EXCLUSIVE && kStateInUse == SCARD_STATE_INUSE &&
              kStateMute == SCARD_STATE_MUTE);
static_assert(kInfinite == INFINITE && kMaxReaderStates == PCSCLITE_MAX_READERS_CONTEXTS);
static_assert(kScardECancelled == static_cast<int32_t>(SCARD_E_CANCELLED) &&
              kScardETimeout == static_cast<int32_t>(SCARD_E_TIMEOUT) &&
              kScardFCommError == static_cast<int32_t>(SCARD_F_COMM_ERROR) &&
              kScardWRemovedCard == static_cast<int32_t>(SCARD_W_REMOVED_CARD) &&
              kScardWResetCard == static_cast<int32_t>(SCARD_W_RESET_CARD) &&
              kScardWUnpoweredCard == static_cast<int32_t>(SCARD_W_UNPOWERED_CARD));

// pcsc-lite returns LONG (long on Linux); its codes all fit 32 bits, and the
// conversion keeps the bit pattern (0x8010xxxx stays 0x8010xxxx).
int32_t ToResult(LONG rc) { return static_cast<int32_t>(static_cast<uint32_t>(rc)); }

class PcscLite final : public PcscApi {
 public:
  int32_t EstablishContext(uint32_t scope, PcscContext* context) override {
    if (context == nullptr) return ToResult(SCARD_E_INVALID_PARAMETER);
    SCARDCONTEXT handle = 0;
    const LONG rc = SCardEstablishContext(static_cast<DWORD>(scope), nullptr, nullptr, &handle);
    *context = rc == SCARD_S_SUCCESS ? static_cast<PcscContext>(handle) : 0;
    return ToResult(rc);
  }

  int32_t ReleaseContext(PcscContext context) override {
    return ToResult(SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
  }

  int32_t ListReaders(PcscContext context, char* multiString, uint32_t* length) override {
    if (length == nullptr) return ToResult(SCARD_E_INVALID_PARAMETER);
    // A null buffer asks for the length only; SCARD_AUTOALLOCATE is never used.
    DWORD size = multiString == nullptr ? 0 : static_cast<DWORD>(*length);
    const LONG rc = SCardListReaders(static_cast<SCARDCONTEXT>(context), nullptr, multiString, &size);
    if (rc == SCARD_S_SUCCESS || rc == SCARD_E_INSUFFICIENT_BUFFER)
      *length = size > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                            : static_cast<uint32_t>(size);
    return ToResult(rc);
  }

  int32_t Connect(PcscContext context, const char* reader, uint32_t shareMode, uint32_t preferredProtocols,
                  PcscCard* card, uint32_t* activeProtocol) override {
    if (reader == nullptr || card == nullptr || activeProtocol == nullptr)
      return ToResult(SCARD_E_INVALID_PARAMETER);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG rc = SCardConnect(static_cast<SCARDCONTEXT>(context), reader, static_cast<DWORD>(shareMode),
                                 static_cast<DWORD>(preferredProtocols), &handle, &protocol);
    *card = rc == SCARD_S_SUCCESS ? static_cast<PcscCard>(handle) : 0;
    *activeProtocol = rc == SCARD_S_SUCCESS ? static_cast<uint32_t>(protocol) : 0;
    return ToResult(rc);
  }

  int32_t Disconnect(PcscCard card, uint32_t disposition) override {
    return ToResult(SCardDisconnect(static_cast<SCARDHANDLE>(card), static_cast<DWORD>(disposition)));
  }

  int32_t Transmit(PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override {
    if (responseLength == nullptr) return ToResult(SCARD_E_INVALID_PARAMETER);
    const SCARD_IO_REQUEST* pci = protocol == kProtocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    DWORD received = static_cast<DWORD>(*responseLength);
    const LONG rc = SCardTransmit(static_cast<SCARDHANDLE>(card), pci, command, static_cast<DWORD>(commandLength),
                                  nullptr, response, &received);
    *responseLength = rc == SCARD_S_SUCCESS ? static_cast<std::size_t>(received) : 0;
    return ToResult(rc);
  }

  int32_t GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                          std::size_t count) override {
    if (states == nullptr && count > 0) return ToResult(SCARD_E_INVALID_PARAMETER);
    std::vector<SCARD_READERSTATE> native(count);
    for (std::size_t i = 0; i < count; ++i) {
      native[i].szReader = states[i].reader.c_str();
      native[i].dwCurrentState = states[i].currentState;
      native[i].dwEventState = states[i].eventState;
      native[i].cbAtr = sizeof native[i].rgbAtr;
    }
    const LONG rc = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context), static_cast<DWORD>(timeoutMs),
                                         native.data(), static_cast<DWORD>(count));
    // The event state is filled on a timeout too; on an early failure
    // pcsc-lite leaves it as it was, and so does this copy.
    for (std::size_t i = 0; i < count; ++i) states[i].eventState = static_cast<uint32_t>(native[i].dwEventState);
    return ToResult(rc);
  }

  int32_t Cancel(PcscContext context) override {
    return ToResult(SCardCancel(static_cast<SCARDCONTEXT>(context)));
  }
};

std::atomic<PcscApi*> g_activePcsc{nullptr};

}  // namespace

PcscApi& SystemPcsc() {
  static PcscLite pcscLite;
  static SerializedPcsc system(pcscLite);
  return system;
}

PcscApi& ActivePcsc() {
  PcscApi* installed = g_activePcsc.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : SystemPcsc();
}

void UsePcsc(PcscApi* api) { g_activePcsc.store(api, std::memory_order_release); }

}  // namespace tokenlink
