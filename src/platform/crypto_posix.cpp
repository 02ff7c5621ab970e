// POSIX: the hashes, on OpenSSL's libcrypto (EVP), the stand-in for BCrypt.

#include <openssl/evp.h>

#include "platform/crypto.h"

namespace platform {

bool sha256(const void* data, std::size_t length, std::uint8_t digest[32]) {
  unsigned int written = 0;
  return EVP_Digest(data, length, digest, &written, EVP_sha256(), nullptr) == 1 && written == 32;
}

namespace {

// The EVP context of a hash fed in pieces; null when it cannot be made.
void* start_hash(const EVP_MD* algorithm) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, algorithm, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return nullptr;
  }
  return context;
}

bool update_hash(void* state, const void* data, std::size_t length) {
  return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), data, length) == 1;
}

bool finish_hash(void* state, std::uint8_t* digest, unsigned int length) {
  unsigned int written = 0;
  return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(state), digest, &written) == 1 &&
         written == length;
}

}  // namespace

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::IncrementalHash()
    : state_(start_hash(DigestSize == 32 ? EVP_sha256() : EVP_sha512())) {
  failed_ = state_ == nullptr;
}

template <std::size_t DigestSize>
IncrementalHash<DigestSize>::~IncrementalHash() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state_));
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
  // Like BCrypt, a finished hash takes no more input.
  failed_ = true;
  return finish_hash(state_, digest, DigestSize);
}

template class IncrementalHash<32>;
template class IncrementalHash<64>;

}  // namespace platform
