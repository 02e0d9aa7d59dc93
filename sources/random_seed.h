// Random secrets: n bytes from the system's strong random source, as unpadded
// Base32 or upper-case hex text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base32.h"

namespace sources {

// Nothing when the random source fails.
std::optional<std::string> RandomSeedText(std::size_t byteCount, seed::SeedEncoding encoding);

// The random source; tests replace it (a function returning false fails).
void SetRandomSource(std::function<bool(uint8_t*, std::size_t)> source);

}  // namespace sources
