// Our verification against OpenSSL's, on random keys and messages signed by OpenSSL. Linux
// only: the Windows build has no OpenSSL.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "release/download.h"
#include "release/ed25519/ed25519.h"

namespace {

// 10,000 in the plain build; the sanitizer build runs fewer (a check costs five times more).
#ifndef CORVALIS_DIFFERENTIAL_CASES
#define CORVALIS_DIFFERENTIAL_CASES 10000
#endif
constexpr int shards = 4;
constexpr int cases_per_shard = (CORVALIS_DIFFERENTIAL_CASES + shards - 1) / shards;

using Bytes = std::vector<std::uint8_t>;

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

Bytes sign(const Bytes& secret, const Bytes& message, Bytes& public_key) {
  Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size()));
  Context context(EVP_MD_CTX_new());
  std::size_t length = 32;
  public_key.assign(32, 0);
  Bytes signature(64, 0);
  std::size_t signature_length = signature.size();
  if (!key || !context || EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &length) != 1 ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &signature_length, message.data(),
                     message.size()) != 1) {
    ADD_FAILURE() << "OpenSSL could not sign";
  }
  return signature;
}

bool openssl_verify(const Bytes& signature, const Bytes& message, const Bytes& public_key) {
  Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), 32));
  if (!key) return false;
  Context context(EVP_MD_CTX_new());
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

bool our_verify(const Bytes& signature, const Bytes& message, const Bytes& public_key) {
  return ed25519_verify(signature.data(), message.data(), message.size(), public_key.data());
}

std::string hex(const Bytes& bytes) {
  return bytes.empty() ? "(empty)" : lowercase_hex(bytes.data(), bytes.size());
}

std::string describe(const Bytes& signature, const Bytes& message, const Bytes& key) {
  return "\n  key       " + hex(key) + "\n  message   " + hex(message) + "\n  signature " +
         hex(signature);
}

class Ed25519AgainstOpenSsl : public testing::TestWithParam<int> {};

TEST_P(Ed25519AgainstOpenSsl, AgreesOnSignedAndOnFlippedCases) {
  std::mt19937_64 random(0xC0A11500u + static_cast<unsigned>(GetParam()));
  auto byte = [&] { return static_cast<std::uint8_t>(random()); };
  int disagreements = 0;
  for (int n = 0; n < cases_per_shard && disagreements < 10; ++n) {
    Bytes secret(32), message(random() % 300), key;
    for (auto& b : secret) b = byte();
    for (auto& b : message) b = byte();
    Bytes signature = sign(secret, message, key);

    if (!our_verify(signature, message, key)) {
      ++disagreements;
      ADD_FAILURE() << "a signature by OpenSSL was refused" << describe(signature, message, key);
    }

    // One random bit of the signature, the key or the message.
    const std::size_t bits = (64 + 32 + message.size()) * 8;
    const std::size_t bit = random() % bits;
    const auto mask = static_cast<std::uint8_t>(1 << (bit % 8));
    if (bit < 64 * 8) {
      signature[bit / 8] ^= mask;
    } else if (bit < 96 * 8) {
      key[bit / 8 - 64] ^= mask;
    } else {
      message[bit / 8 - 96] ^= mask;
    }
    const bool ours = our_verify(signature, message, key);
    const bool theirs = openssl_verify(signature, message, key);
    if (ours || theirs) {
      ++disagreements;
      ADD_FAILURE() << "after flipping bit " << bit << " ours says " << ours << ", OpenSSL says "
                    << theirs << describe(signature, message, key);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomCases, Ed25519AgainstOpenSsl, testing::Range(0, shards));

}  // namespace
