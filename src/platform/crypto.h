#pragma once

// The platform layer's hashes: SHA-256 and SHA-512, whole or in pieces (BCrypt on Windows with
// the pseudo-handles 0x41 and 0x61; libcrypto on POSIX). Every step answers false on failure.

#include <cstddef>
#include <cstdint>

namespace platform {

// SHA-256 of the whole input in one call. False when the platform's hash fails.
bool sha256(const void* data, std::size_t length, std::uint8_t digest[32]);

// A hash fed in pieces, for input that is never whole in memory (a download on its way to disk,
// a signature's message): SHA-256 for a 32-byte digest, SHA-512 for a 64-byte one. Every step
// answers false once anything has failed, and after `finish` (a finished hash takes no more
// input); the hash object is destroyed with the `IncrementalHash` on every way out.
template <std::size_t DigestSize>
class IncrementalHash {
 public:
  IncrementalHash();
  IncrementalHash(const IncrementalHash&) = delete;
  IncrementalHash& operator=(const IncrementalHash&) = delete;
  ~IncrementalHash();

  bool update(const void* data, std::size_t length);
  bool finish(std::uint8_t digest[DigestSize]);

 private:
  void* state_ = nullptr;
  bool failed_ = false;
};

using Sha256 = IncrementalHash<32>;
using Sha512 = IncrementalHash<64>;

}  // namespace platform
