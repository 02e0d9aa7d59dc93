// pcsc-lite's client library is not safe when several threads each use their
// own context at the same time (a disconnect on one thread while another
// establishes or releases a context can crash inside the library). The station
// runs three threads that talk to PC/SC, so every call goes through one lock.
#pragma once
#include <mutex>

#include "pcsc_api.h"

namespace ui {

class SerializedPcsc final : public tokenlink::PcscApi {
 public:
  explicit SerializedPcsc(tokenlink::PcscApi& inner) : m_inner(inner) {}

  int32_t EstablishContext(uint32_t scope, tokenlink::PcscContext* context) override;
  int32_t ReleaseContext(tokenlink::PcscContext context) override;
  int32_t ListReaders(tokenlink::PcscContext context, char* multiString, uint32_t* length) override;
  int32_t Connect(tokenlink::PcscContext context, const char* reader, uint32_t shareMode, uint32_t preferredProtocols,
                  tokenlink::PcscCard* card, uint32_t* activeProtocol) override;
  int32_t Disconnect(tokenlink::PcscCard card, uint32_t disposition) override;
  int32_t Transmit(tokenlink::PcscCard card, uint32_t protocol, const uint8_t* command, std::size_t commandLength,
                   uint8_t* response, std::size_t* responseLength) override;

 private:
  tokenlink::PcscApi& m_inner;
  std::mutex m_mutex;
};

// The system's PC/SC behind the lock; install it with tokenlink::UsePcsc
// before the window starts its monitors.
tokenlink::PcscApi& SerializedSystemPcsc();

}  // namespace ui
