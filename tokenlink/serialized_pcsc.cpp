#include "serialized_pcsc.h"

namespace tokenlink {

int32_t SerializedPcsc::EstablishContext(uint32_t scope, PcscContext* context) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.EstablishContext(scope, context);
}

int32_t SerializedPcsc::ReleaseContext(PcscContext context) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.ReleaseContext(context);
}

int32_t SerializedPcsc::ListReaders(PcscContext context, char* multiString, uint32_t* length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.ListReaders(context, multiString, length);
}

int32_t SerializedPcsc::Connect(PcscContext context, const char* reader, uint32_t shareMode,
                                uint32_t preferredProtocols, PcscCard* card, uint32_t* activeProtocol) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.Connect(context, reader, shareMode, preferredProtocols, card, activeProtocol);
}

int32_t SerializedPcsc::Disconnect(PcscCard card, uint32_t disposition) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.Disconnect(card, disposition);
}

int32_t SerializedPcsc::Transmit(PcscCard card, uint32_t protocol, const uint8_t* command,
                                 std::size_t commandLength, uint8_t* response, std::size_t* responseLength) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inner.Transmit(card, protocol, command, commandLength, response, responseLength);
}


}  // namespace tokenlink
