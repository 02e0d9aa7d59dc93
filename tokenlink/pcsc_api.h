// The narrow seam around PC/SC: the handful of SCard calls the station makes.
// pcsc_lite.cpp is the only file that includes <winscard.h>; tests and the
// virtual token put an emulated reader behind the same interface.
#pragma once
#include <cstddef>
#include <cstdint>

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

constexpr int32_t kScardSuccess = 0;
constexpr int32_t kScardEInvalidHandle = static_cast<int32_t>(0x80100003);
constexpr int32_t kScardEInvalidParameter = static_cast<int32_t>(0x80100004);
constexpr int32_t kScardEInsufficientBuffer = static_cast<int32_t>(0x80100008);
constexpr int32_t kScardEUnknownReader = static_cast<int32_t>(0x80100009);
constexpr int32_t kScardESharingViolation = static_cast<int32_t>(0x8010000B);
constexpr int32_t kScardENoSmartcard = static_cast<int32_t>(0x8010000C);
constexpr int32_t kScardEReaderUnavailable = static_cast<int32_t>(0x80100017);
constexpr int32_t kScardENoService = static_cast<int32_t>(0x8010001D);
constexpr int32_t kScardECommDataLost = static_cast<int32_t>(0x8010002F);
constexpr int32_t kScardENoReadersAvailable = static_cast<int32_t>(0x8010002E);
constexpr int32_t kScardWRemovedCard = static_cast<int32_t>(0x80100069);

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
};

// pcsc-lite, talking to pcscd.
PcscApi& SystemPcsc();

// The implementation every caller uses: the system one unless a test or the
// virtual token installed another. Install before any thread uses it.
PcscApi& ActivePcsc();
void UsePcsc(PcscApi* api);  // nullptr restores SystemPcsc()

}  // namespace tokenlink
