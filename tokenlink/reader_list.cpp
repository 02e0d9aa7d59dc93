// Reader listing over the PC/SC seam.
#include "reader_list.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "pcsc_api.h"

namespace tokenlink {
namespace {

constexpr uint32_t kListingBufferSize = 640;

}  // namespace

std::vector<std::string> SplitMultiString(const char* multiString, std::size_t length) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < length && multiString[at] != '\0') {
    const void* nul = std::memchr(multiString + at, '\0', length - at);
    const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - multiString) : length;
    names.emplace_back(multiString + at, end - at);
    at = end + 1;
  }
  return names;
}

int ListReaders(std::vector<std::string>* names, int32_t* pcscResult) {
  names->clear();
  int32_t unused = kScardSuccess;
  int32_t& result = pcscResult ? *pcscResult : unused;
  PcscApi& pcsc = ActivePcsc();
  PcscContext context = 0;
  result = pcsc.EstablishContext(kScopeUser, &context);
  if (result != kScardSuccess) return -1;
  const int listed = ListReadersOn(context, names, &result);
  pcsc.ReleaseContext(context);
  return listed;
}

int ListReadersOn(std::uintptr_t context, std::vector<std::string>* names, int32_t* pcscResult) {
  names->clear();
  int32_t unused = kScardSuccess;
  int32_t& result = pcscResult ? *pcscResult : unused;
  std::array<char, kListingBufferSize> buffer{};
  uint32_t length = kListingBufferSize;
  result = ActivePcsc().ListReaders(context, buffer.data(), &length);
  if (result != kScardSuccess) return -1;
  *names = SplitMultiString(buffer.data(), std::min<std::size_t>(length, buffer.size()));
  return 0;
}

}  // namespace tokenlink
