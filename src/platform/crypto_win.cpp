// Windows: the hashes, on BCrypt's algorithm pseudo-handles (Windows 10 and later), so no
// algorithm provider is opened or kept.

#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <cstdint>
#include <limits>

#include "platform/platform.h"

// Debian's mingw-w64 headers predate the pseudo-handles; the values are Windows' own.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif
#ifndef BCRYPT_SHA512_ALG_HANDLE
#define BCRYPT_SHA512_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000061)
#endif

namespace platform {

namespace {

constexpr std::size_t most_per_call = std::numeric_limits<ULONG>::max();

PUCHAR bytes(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

// A BCrypt hash fed in pieces; null when it cannot be made. No hash object buffer: BCrypt keeps
// the state itself until BCryptDestroyHash.
void* start_hash(BCRYPT_ALG_HANDLE algorithm) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    return nullptr;
  }
  return hash;
}

// BCrypt counts in 32 bits; longer input goes in several pieces, which hashes the same.
bool update_hash(void* state, const void* data, std::size_t length) {
  const auto* next = static_cast<const std::uint8_t*>(data);
  do {
    const std::size_t piece = length < most_per_call ? length : most_per_call;
    if (!BCRYPT_SUCCESS(::BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(state), bytes(next),
                                         static_cast<ULONG>(piece), 0))) {
      return false;
    }
    next += piece;
    length -= piece;
  } while (length > 0);
  return true;
}

}  // namespace

bool sha256(const void* data, std::size_t length, std::uint8_t digest[32]) {
  // One call: every input the installer hashes is far below the 32-bit count BCrypt takes.
  if (length > most_per_call) return false;
  return BCRYPT_SUCCESS(::BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, bytes(data),
                                     static_cast<ULONG>(length), digest, 32));
}

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::IncrementalHash()
    : state_(start_hash(DigestSize == 32 ? BCRYPT_SHA256_ALG_HANDLE : BCRYPT_SHA512_ALG_HANDLE)) {
  failed_ = state_ == nullptr;
}

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::~IncrementalHash() {
  if (state_ != nullptr) ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state_));
}

template <std::size_t DigestSize>
bool IncrementalHash<DigestSize>::update(const void* data, std::size_t length) {
  if (failed_) return false;
  if (!update_hash(state_, data, length)) failed_ = true;
  return !failed_;
}

template <std::size_t DigestSize>
bool IncrementalHash<DigestSize>::finish(std::uint8_t digest[DigestSize]) {
  if (failed_) return false;
  // A finished BCrypt hash cannot be fed again; later calls answer false.
  failed_ = true;
  return BCRYPT_SUCCESS(
      ::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(state_), digest, DigestSize, 0));
}

template class IncrementalHash<32>;
template class IncrementalHash<64>;

}  // namespace platform
