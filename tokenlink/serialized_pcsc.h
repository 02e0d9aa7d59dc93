// pcsc-lite's client library is not safe when several threads each use their
// own context at the same time (a disconnect on one thread while another
// establishes or releases a context can crash inside the library). The station
// runs three threads that talk to PC/SC, so every call to the system's PC/SC
// goes through one lock (SystemPcsc() is wrapped in it). GetStatusChange and
// Cancel are the exception: see serialized_pcsc.cpp.
#pragma once
#include <mutex>

#include "pcsc_api.h"

namespace tokenlink {

class SerializedPcsc final : public PcscApi {
 public:
  explicit SerializedPcsc(PcscApi& inner) : m_inner(inner) {}

  int32_t EstablishContext(uint32_t scope, PcscContext* context) override;
  int32_t ReleaseContext(PcscContext context) override;
  int32_t ListReaders(PcscContext context, char* multiString, uint32_t* length) override;
  int32_t Connect(PcscContext context, const char* reader, uint32_t shareMode, uint32_t preferredProtocols,
                  PcscCard* card, uint32_t* activeProtocol) override;
  int32_t Disconnect(PcscCard card, uint32_t disposition) override;
  int32_t Transmit(PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override;
  int32_t GetStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState* states,
                          std::size_t count) override;
  int32_t Cancel(PcscContext context) override;

 private:
  PcscApi& m_inner;
  std::mutex m_mutex;
};

}  // namespace tokenlink
