// Listing the attached readers: one short PC/SC context, the readers of all
// groups, the multi-string taken apart into names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tokenlink {

// The names of a PC/SC multi-string (each NUL-terminated, a final NUL), in
// order; reading stops at the empty name or at the end of the bytes.
std::vector<std::string> SplitMultiString(const char* multiString, std::size_t length);

// The readers the PC/SC service lists, in its order, by the active PcscApi.
// 0 when the listing succeeded (the list may be empty); -1 when it failed,
// which includes the service reporting that no reader is available and names
// that do not fit the 640-byte listing buffer. When pcscResult is given it
// receives the PC/SC code of the step that failed (establishing the context
// or the listing), or kScardSuccess, so that a caller can say why.
int ListReaders(std::vector<std::string>* names, int32_t* pcscResult = nullptr);

// The same listing on a context the caller holds (a monitor's own, between
// its waits): no context is made or released.
int ListReadersOn(std::uintptr_t context, std::vector<std::string>* names, int32_t* pcscResult = nullptr);

}  // namespace tokenlink
