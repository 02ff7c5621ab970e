#include "release/release_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "failure.h"
#include "release/release_key.h"
#include "support/signed_release.h"

namespace {

const std::string sense_message = "A release list from corvalisplugin.com didn't make sense.";

ReleaseList open(std::string document, std::string signature) {
  return open_release_list(std::move(document), std::move(signature), development_key);
}

// The failure message of opening, or "" when the list was accepted.
std::string failure_of(std::string document, std::string signature) {
  try {
    open(std::move(document), std::move(signature));
    return "";
  } catch (const Failure& failure) {
    return failure.what();
  }
}

TEST(OpenReleaseList, AcceptsASignedListAndTakesTheTextsOver) {
  std::string document = release_document;
  std::string signature = release_signature + "\n";
  ReleaseList list = open_release_list(std::move(document), std::move(signature), development_key);
  EXPECT_EQ(list.document_text, release_document);
  EXPECT_EQ(list.signature_text, release_signature + "\n");
  EXPECT_TRUE(document.empty());
  EXPECT_TRUE(signature.empty());
  ASSERT_EQ(list.document.member("files").kind, JsonKind::array);
  ASSERT_EQ(list.document.member("files").elements.size(), 1u);
  EXPECT_EQ(list.document.member("files").elements[0].member("path").text, "host/Corvalis.acsrf");
  EXPECT_EQ(list.document.member("version").text, "1.4.2");
}

TEST(OpenReleaseList, SignatureTextMayBePaddedOrNotAndBrokenIntoLines) {
  const std::string unpadded = release_signature.substr(0, 86);
  for (const std::string& signature :
       {release_signature, release_signature + "\n", unpadded, unpadded + "\n", unpadded + "\r\n",
        "  " + release_signature.substr(0, 40) + "\n" + release_signature.substr(40) + " \n"}) {
    EXPECT_EQ(failure_of(release_document, signature), "") << signature;
  }
}

TEST(OpenReleaseList, SignaturesOfTheWrongLengthAreUnsigned) {
  const std::string bytes = base64_decode_lenient(release_signature);
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(failure_of(release_document, ""), unsigned_message);
  EXPECT_EQ(failure_of(release_document, "\n"), unsigned_message);
  // 63 bytes: the last four digits gone; 65: one more byte's worth of digits.
  EXPECT_EQ(failure_of(release_document, release_signature.substr(0, 84)), unsigned_message);
  EXPECT_EQ(failure_of(release_document, release_signature.substr(0, 86) + "AAAA"),
            unsigned_message);
}

TEST(OpenReleaseList, UrlSafeAlphabetIsRefused) {
  std::string url_safe = release_signature;
  for (char& c : url_safe) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  ASSERT_NE(url_safe, release_signature);
  EXPECT_EQ(failure_of(release_document, url_safe), unsigned_message);
}

TEST(OpenReleaseList, AnyChangeToTheDocumentIsUnsigned) {
  EXPECT_EQ(failure_of(release_document + "\n", release_signature), unsigned_message);
  EXPECT_EQ(failure_of(release_document.substr(0, release_document.size() - 1), release_signature),
            unsigned_message);
  std::string changed = release_document;
  changed[changed.find("1.4.2")] = '2';
  EXPECT_EQ(failure_of(changed, release_signature), unsigned_message);
  // Another key's signature: the development key checked against the wrong public key.
  std::uint8_t other_key[32];
  std::copy(std::begin(development_key), std::end(development_key), other_key);
  other_key[0] ^= 1;
  EXPECT_THROW(
      open_release_list(std::string(release_document), std::string(release_signature), other_key),
      Failure);
}

TEST(OpenReleaseList, UnsignedGarbageIsNeverParsed) {
  // Not JSON and not signed: the answer is about the signature, never about sense.
  EXPECT_EQ(failure_of("files: none", release_signature), unsigned_message);
  EXPECT_EQ(failure_of("", ""), unsigned_message);
}

TEST(OpenReleaseList, SignedListsMustHaveAFilesArray) {
  EXPECT_EQ(failure_of("files: none",
                       "1H0VsldSMfA7NwngIou+tGTTQ7yX2RJD31rNTyLi9aLxAMDJDbHkxojmGgvTSdGPyv+FcYxLNF"
                       "ByXpFONOUaAQ=="),
            sense_message);
  EXPECT_EQ(failure_of("{}",
                       "qnpgmT5OwmUToCs3P7hQl2NyoTbZ8F1tYNT3dMd2U3KSsgH7Y+eQiArJr6ffqc0edA6vxD0K69"
                       "AM6atpwNNcDg=="),
            sense_message);
  EXPECT_EQ(failure_of("{\"files\":{}}",
                       "jvbXfcgcgs3u8j3dsU/jP8Ops83tIFvdReDYRHTCyOlKSV6zfSNWK8ZlX9DrpYjVOqR/TgdvmG"
                       "Jd16sSD1l1BQ=="),
            sense_message);
  EXPECT_EQ(failure_of("{\"files\":\"host/Corvalis.acsrf\"}",
                       "W3Uvd0g7kQNGwSJ2DpUsYsf5zlkIzrcV2LoLGdGtViojoxl908C2ZPNCVzdUa4yaxQe4fk7eTv"
                       "Qx3hgYLc0fAw=="),
            sense_message);
}

TEST(OpenReleaseList, AnEmptyFilesArrayIsARelease) {
  ReleaseList list = open("{\"files\":[]}",
                          "UOjb4PkH8054BjE75TmSxDhhVRZ+VgdcfD4evcl3yQNUMKMds+DO3ZJzk204I7WRg9olTPkG"
                          "yvmYn35vXkA6DQ==");
  EXPECT_EQ(list.document.member("files").kind, JsonKind::array);
  EXPECT_TRUE(list.document.member("files").elements.empty());
}

TEST(OpenReleaseList, UsesTheBuiltInKey) {
  if (!release_key_is_development) GTEST_SKIP() << "this build trusts a release key";
  EXPECT_TRUE(
      std::equal(std::begin(development_key), std::end(development_key), release_signing_key));
  ReleaseList list =
      open_release_list(std::string(release_document), std::string(release_signature));
  EXPECT_EQ(list.document.member("version").text, "1.4.2");
}

TEST(Base64DecodeLenient, DecodesTheStandardAlphabet) {
  EXPECT_EQ(base64_decode_lenient(""), "");
  EXPECT_EQ(base64_decode_lenient("TWFu"), "Man");
  EXPECT_EQ(base64_decode_lenient("TWE="), "Ma");
  EXPECT_EQ(base64_decode_lenient("TQ=="), "M");
  EXPECT_EQ(base64_decode_lenient("TWE"), "Ma");  // padding is optional
  EXPECT_EQ(base64_decode_lenient("+/+/"), "\xfb\xff\xbf");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(base64_decode_lenient(
                "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7"
                "PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3"
                "eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKz"
                "tLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v"
                "8PHy8/T19vf4+fr7/P3+/w=="),
            all);
}

TEST(Base64DecodeLenient, SkipsEveryOtherByteAnywhere) {
  EXPECT_EQ(base64_decode_lenient(" T\r\nW\tF=u\n"), "Man");
  EXPECT_EQ(base64_decode_lenient("==TWFu=="), "Man");
  EXPECT_EQ(base64_decode_lenient(std::string("TW\0Fu", 5)), "Man");
  EXPECT_EQ(base64_decode_lenient("\xc3\xa9TWFu\xff"), "Man");
  // The URL-safe digits are not digits here: "-_" would be 62 and 63 in that alphabet.
  EXPECT_EQ(base64_decode_lenient("-_-_"), "");
  EXPECT_EQ(base64_decode_lenient("TW-Fu_"), "Man");
}

TEST(Base64DecodeLenient, DropsBitsLeftOver) {
  EXPECT_EQ(base64_decode_lenient("T"), "");
  EXPECT_EQ(base64_decode_lenient("TWFuT"), "Man");
  // Lone trailing bits are not checked for being zero.
  EXPECT_EQ(base64_decode_lenient("TR=="), "M");
}

}  // namespace
