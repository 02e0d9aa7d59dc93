// The narrow seam around PC/SC: the handful of SCard calls the station makes.
// pcsc_lite.cpp is the only file that includes <winscard.h>; tests and the
// virtual token put an emulated reader behind the same interface.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace tokenlink {

using PcscContext = std::uintptr_t;
using PcscCard = std::uintptr_t;

// Values as PC/SC defines them (pcsc-lite uses the same numbers).
constexpr uint32_t kScopeUser = 0;
constexpr uint32_t kScopeSystem = 2;
constexpr uint32_t kShareShared = 2;
constexpr uint32_t kProtocolT0 = 1;
constexpr uint32_t kProtocolT1 = 2;
constexpr uint32_t kLeaveCard = 0;

// Reader states of GetStatusChange, as bits of ReaderState's currentState
// and eventState.
constexpr uint32_t kStateUnaware = 0x0000;
constexpr uint32_t kStateIgnore = 0x0001;
constexpr uint32_t kStateChanged = 0x0002;
constexpr uint32_t kStateUnknown = 0x0004;
constexpr uint32_t kStateUnavailable = 0x0008;
constexpr uint32_t kStateEmpty = 0x0010;
constexpr uint32_t kStatePresent = 0x0020;
constexpr uint32_t kStateAtrMatch = 0x0040;
constexpr uint32_t kStateExclusive = 0x0080;
constexpr uint32_t kStateInUse = 0x0100;
constexpr uint32_t kStateMute = 0x0200;
// pcsc-lite counts the insertions and removals on a reader in the upper 16
// bits of eventState. Fed back in currentState, a count that differs is a
// change: a token taken off and laid back between two calls is not missed.
constexpr int kStateEventCountShift = 16;
constexpr uint32_t EventCount(uint32_t state) { return state >> kStateEventCountShift; }

constexpr uint32_t kInfinite = 0xFFFFFFFF;
// The most entries one GetStatusChange watches.
constexpr std::size_t kMaxReaderStates = 16;
// The pseudo-reader whose state changes when a reader is added or removed.
constexpr char kPnpNotification[] = R"(\\?PnP?\Notification)";

constexpr int32_t kScardSuccess = 0;
constexpr int32_t kScardECancelled = static_cast<int32_t>(0x80100002);
constexpr int32_t kScardEInvalidHandle = static_cast<int32_t>(0x80100003);
constexpr int32_t kScardEInvalidParameter = static_cast<int32_t>(0x80100004);
constexpr int32_t kScardEInsufficientBuffer = static_cast<int32_t>(0x80100008);
constexpr int32_t kScardEUnknownReader = static_cast<int32_t>(0x80100009);
constexpr int32_t kScardETimeout = static_cast<int32_t>(0x8010000A);
constexpr int32_t kScardESharingViolation = static_cast<int32_t>(0x8010000B);
constexpr int32_t kScardENoSmartcard = static_cast<int32_t>(0x8010000C);
constexpr int32_t kScardFCommError = static_cast<int32_t>(0x80100013);
constexpr int32_t kScardEReaderUnavailable = static_cast<int32_t>(0x80100017);
constexpr int32_t kScardENoService = static_cast<int32_t>(0x8010001D);
constexpr int32_t kScardECommDataLost = static_cast<int32_t>(0x8010002F);
constexpr int32_t kScardENoReadersAvailable = static_cast<int32_t>(0x8010002E);
constexpr int32_t kScardWUnpoweredCard = static_cast<int32_t>(0x80100067);
constexpr int32_t kScardWResetCard = static_cast<int32_t>(0x80100068);
constexpr int32_t kScardWRemovedCard = static_cast<int32_t>(0x80100069);

// One entry of GetStatusChange: the reader (or kPnpNotification), the state
// the caller believes it is in, and the state reported back, which is what
// the caller believes for its next call.
struct ReaderState {
  std::string reader;
  uint32_t currentState = kStateUnaware;
  uint32_t eventState = kStateUnaware;
};

class PcscApi {
 public:
  virtual ~PcscApi() = default;
  virtual int32_t EstablishContext(uint32_t scope, PcscContext* context) = 0;
  virtual int32_t ReleaseContext(PcscContext context) = 0;
  // Fills a multi-string (names each NUL-terminated, a final NUL) of at most
  // *length bytes; *length is set to the bytes used, or needed on
  // kScardEInsufficientBuffer.
  virtual int32_t ListReaders(PcscContext context, char* multiString, uint32_t* length) = 0;
  virtual int32_t Connect(PcscContext context, const char* reader, uint32_t shareMode,
                          uint32_t preferredProtocols, PcscCard* card, uint32_t* activeProtocol) = 0;
  virtual int32_t Disconnect(PcscCard card, uint32_t disposition) = 0;
  // protocol selects the T=0 or T=1 protocol control information.
  virtual int32_t Transmit(PcscCard card, uint32_t protocol, const uint8_t* command,
                           std::size_t commandLength, uint8_t* response, std::size_t* responseLength) = 0;

  // Waits until one of the readers is in another state than its currentState
  // says (kStateChanged set in its eventState), at most timeoutMs
  // (kInfinite: no limit; 0: look once). Every entry's eventState is filled
  // also on kScardETimeout. A reader name the service does not know fails the
  // call with kScardEUnknownReader at once; a reader removed during the wait
  // reports kStateUnknown. One waiting call per context: a thread that waits
  // uses a context of its own.
  virtual int32_t GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                                  std::size_t count) = 0;
  // Ends a GetStatusChange waiting on this context, from another thread: it
  // returns kScardECancelled. Does nothing when no call is waiting yet, so a
  // waiting thread looks at its stop flag before each wait. Release the
  // context from the waiting thread after the wait has ended: pcsc-lite's
  // ReleaseContext waits for a call in progress on the same context, and
  // meanwhile stops every other PC/SC call of the process, Cancel too.
  virtual int32_t Cancel(PcscContext context) = 0;
};

// pcsc-lite, talking to pcscd.
PcscApi& SystemPcsc();

// The implementation every caller uses: the system one unless a test or the
// virtual token installed another. Install before any thread uses it.
PcscApi& ActivePcsc();
void UsePcsc(PcscApi* api);  // nullptr restores SystemPcsc()

}  // namespace tokenlink
