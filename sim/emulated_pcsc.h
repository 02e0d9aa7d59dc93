// An in-process PC/SC stack of emulated readers and tokens, behind the same
// seam as pcsc-lite, for unit and window tests.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "pcsc_api.h"
#include "token_emulator.h"

namespace sim {

class EmulatedPcsc : public tokenlink::PcscApi {
 public:
  // All members are thread-safe.
  void AddReader(const std::string& name);
  void RemoveReader(const std::string& name);
  void InsertToken(const std::string& reader, std::shared_ptr<TokenEmulator> token);
  void RemoveToken(const std::string& reader);  // powers the token off
  void SetServiceRunning(bool running);         // stopped: EstablishContext fails
  // The n-th APDU from now (1 = the next) fails as a pulled card does; the
  // token leaves the field.
  void PullCardAtApdu(const std::string& reader, int n);
  std::vector<std::vector<uint8_t>> SentApdus(const std::string& reader) const;
  void ClearSentApdus(const std::string& reader);
  int OpenContexts() const;
  int OpenCards() const;
  // PcscApi ...
};

}  // namespace sim
