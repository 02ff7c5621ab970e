// Windows: the hashes, on BCrypt's algorithm pseudo-handles (Windows 10 and later), so no
// algorithm provider is opened or kept. bcrypt.dll is no KnownDLL: imported by the program,
// Windows would look for it in the program's folder first, so it is loaded from System32 by
// name when the first hash is made.

#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <cstdint>
#include <limits>

#include "platform/crypto.h"
#include "platform/support_win.h"

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

// The BCrypt calls the hashes make, found once; all null when bcrypt.dll or one of them is
// missing, and every hash then fails.
struct BCryptCalls {
  decltype(&::BCryptHash) hash = nullptr;
  decltype(&::BCryptCreateHash) create_hash = nullptr;
  decltype(&::BCryptHashData) hash_data = nullptr;
  decltype(&::BCryptFinishHash) finish_hash = nullptr;
  decltype(&::BCryptDestroyHash) destroy_hash = nullptr;
};

const BCryptCalls& bcrypt() {
  static const BCryptCalls calls = [] {
    const HMODULE library = load_system_library(L"bcrypt.dll");
    BCryptCalls found;
    if (find_function(library, "BCryptHash", found.hash) &&
        find_function(library, "BCryptCreateHash", found.create_hash) &&
        find_function(library, "BCryptHashData", found.hash_data) &&
        find_function(library, "BCryptFinishHash", found.finish_hash) &&
        find_function(library, "BCryptDestroyHash", found.destroy_hash)) {
      return found;
    }
    return BCryptCalls{};
  }();
  return calls;
}

PUCHAR bytes(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

// A BCrypt hash fed in pieces; null when it cannot be made. No hash object buffer: BCrypt keeps
// the state itself until BCryptDestroyHash.
void* start_hash(BCRYPT_ALG_HANDLE algorithm) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!bcrypt().create_hash ||
      !BCRYPT_SUCCESS(bcrypt().create_hash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    return nullptr;
  }
  return hash;
}

// BCrypt counts in 32 bits; longer input goes in several pieces, which hashes the same.
bool update_hash(void* state, const void* data, std::size_t length) {
  const auto* next = static_cast<const std::uint8_t*>(data);
  do {
    const std::size_t piece = length < most_per_call ? length : most_per_call;
    if (!BCRYPT_SUCCESS(bcrypt().hash_data(static_cast<BCRYPT_HASH_HANDLE>(state), bytes(next),
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
  if (length > most_per_call || !bcrypt().hash) return false;
  return BCRYPT_SUCCESS(bcrypt().hash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, bytes(data),
                                      static_cast<ULONG>(length), digest, 32));
}

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::IncrementalHash()
    : state_(start_hash(DigestSize == 32 ? BCRYPT_SHA256_ALG_HANDLE : BCRYPT_SHA512_ALG_HANDLE)) {
  failed_ = state_ == nullptr;
}

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::~IncrementalHash() {
  if (state_ != nullptr) bcrypt().destroy_hash(static_cast<BCRYPT_HASH_HANDLE>(state_));
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
      bcrypt().finish_hash(static_cast<BCRYPT_HASH_HANDLE>(state_), digest, DigestSize, 0));
}

template class IncrementalHash<32>;
template class IncrementalHash<64>;

}  // namespace platform
