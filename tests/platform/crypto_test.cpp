#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/crypto.h"
#include "release/download.h"

namespace {

std::string sha256_text(const std::string& input) {
  std::uint8_t digest[32] = {};
  EXPECT_TRUE(platform::sha256(input.data(), input.size(), digest));
  return lowercase_hex(digest, 32);
}

// FIPS 180-4 example values (NIST's "Examples with intermediate values").
const std::string abc = "abc";
const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  const std::string million_a(1000000, 'a');
  const std::pair<const std::string*, const char*> known[] = {
      {nullptr, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {&abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {&two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {&million_a, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [input, expected] : known) {
    const std::string text = input ? *input : std::string();
    EXPECT_EQ(sha256_text(text), expected);
    // Fed as a download arrives: uneven pieces across block boundaries, empty ones included.
    platform::Sha256 hash;
    for (std::size_t at = 0, piece = 0; at < text.size(); at += piece) {
      piece = std::min<std::size_t>(text.size() - at, 1 + (at * 7919) % 70000);
      ASSERT_TRUE(hash.update(text.data() + at, piece));
      ASSERT_TRUE(hash.update("", 0));
    }
    std::uint8_t digest[32] = {};
    ASSERT_TRUE(hash.finish(digest));
    EXPECT_EQ(lowercase_hex(digest, 32), expected);
  }
}

TEST(Sha512, KnownDigestsAndPiecesHashLikeTheWhole) {
  const std::string empty_digest =
      "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
      "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";
  const std::string abc_digest =
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
      "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
  std::uint8_t digest[64] = {};
  {
    platform::Sha512 hash;
    ASSERT_TRUE(hash.finish(digest));
    EXPECT_EQ(lowercase_hex(digest, 64), empty_digest);
  }
  {
    platform::Sha512 hash;
    ASSERT_TRUE(hash.update(abc.data(), abc.size()));
    ASSERT_TRUE(hash.finish(digest));
    EXPECT_EQ(lowercase_hex(digest, 64), abc_digest);
  }
  {
    // The pieces a signature check feeds: empty pieces change nothing.
    platform::Sha512 hash;
    ASSERT_TRUE(hash.update("a", 1));
    ASSERT_TRUE(hash.update("", 0));
    ASSERT_TRUE(hash.update("bc", 2));
    ASSERT_TRUE(hash.finish(digest));
    EXPECT_EQ(lowercase_hex(digest, 64), abc_digest);
  }
}

TEST(Sha512, TakesNoInputAfterFinishing) {
  platform::Sha512 hash;
  std::uint8_t digest[64];
  ASSERT_TRUE(hash.finish(digest));
  EXPECT_FALSE(hash.update("x", 1));
  EXPECT_FALSE(hash.finish(digest));
  platform::Sha256 short_hash;
  ASSERT_TRUE(short_hash.finish(digest));
  EXPECT_FALSE(short_hash.update("x", 1));
  EXPECT_FALSE(short_hash.finish(digest));
}

}  // namespace
