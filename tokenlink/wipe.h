// Wiping key and seed bytes as soon as the code that holds them is done.
#pragma once
#include <openssl/crypto.h>

namespace tokenlink {

// Wipes a buffer (std::array, std::vector) with OPENSSL_cleanse when the scope
// that declares the guard ends, whichever way it ends. It wipes the buffer's
// size() elements at that time, so a watched vector must not grow (a
// reallocation would leave the old bytes behind unwiped).
template <typename Buffer>
class WipeAtScopeEnd {
 public:
  explicit WipeAtScopeEnd(Buffer& buffer) : buffer_(buffer) {}
  ~WipeAtScopeEnd() { OPENSSL_cleanse(buffer_.data(), buffer_.size() * sizeof(*buffer_.data())); }
  WipeAtScopeEnd(const WipeAtScopeEnd&) = delete;
  WipeAtScopeEnd& operator=(const WipeAtScopeEnd&) = delete;

 private:
  Buffer& buffer_;
};

}  // namespace tokenlink
