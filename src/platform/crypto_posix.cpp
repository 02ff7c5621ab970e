// POSIX: the hashes, on OpenSSL's libcrypto (EVP), the stand-in for BCrypt.

#include <openssl/evp.h>

#include "platform/platform.h"

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

Sha256::Sha256() : state_(start_hash(EVP_sha256())) {
  failed_ = state_ == nullptr;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state_));
}

bool Sha256::update(const void* data, std::size_t length) {
  if (failed_) return false;
  if (!update_hash(state_, data, length)) failed_ = true;
  return !failed_;
}

bool Sha256::finish(std::uint8_t digest[32]) {
  if (failed_) return false;
  // Like BCrypt, a finished hash takes no more input.
  failed_ = true;
  return finish_hash(state_, digest, 32);
}

Sha512::Sha512() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha512(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    failed_ = true;
    return;
  }
  state_ = context;
}

Sha512::~Sha512() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state_));
}

bool Sha512::update(const void* data, std::size_t length) {
  if (failed_) return false;
  if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state_), data, length) != 1) failed_ = true;
  return !failed_;
}

bool Sha512::finish(std::uint8_t digest[64]) {
  if (failed_) return false;
  unsigned int written = 0;
  const bool done =
      EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(state_), digest, &written) == 1 && written == 64;
  // Like BCrypt, a finished hash takes no more input.
  failed_ = true;
  return done;
}

}  // namespace platform
