#include "release/fetch_release_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "platform/platform.h"
#include "release/download.h"
#include "release/http_client.h"
#include "release/release_key.h"
#include "support/release_host.h"
#include "support/sandbox.h"

namespace {

// A release list signed with the development release key (keys/development-release-key.pem);
// its public half is given explicitly so the tests hold whatever key the build trusts.
const std::uint8_t development_key[32] = {
    0x6d, 0xca, 0x4a, 0x72, 0x6f, 0x00, 0xbe, 0x3c, 0x8b, 0x13, 0x07, 0x44, 0x2f, 0xd0, 0x7c, 0x61,
    0x42, 0xe2, 0xb5, 0x48, 0xa7, 0x30, 0x83, 0x9d, 0x9d, 0x89, 0x32, 0x0a, 0x0a, 0x11, 0xc4, 0x4d};
const std::string release_document =
    "{\"version\":\"1.4.2\",\"files\":[{\"path\":\"host/Corvalis.acsrf\",\"size\":3,\"sha256\":"
    "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"}]}\n";
const std::string release_signature =
    "rY9jRe+catnIVACEmVYVs4kbWthZcVjGx5xdd92p3qJ4uJlN2c0dsdnn6aV0TIhtde2FSz6K3tVJXk5L0Q9TCA==\n";
const std::string unsigned_message =
    "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was installed.";

using Paths = std::vector<std::string>;

class FetchReleaseList : public testing::Test {
 protected:
  Sandbox sandbox;
  ReleaseHostSession host;

  void SetUp() override {
    ASSERT_TRUE(host.running());
    platform::observe_pauses([](std::uint32_t) {});
  }
  void TearDown() override { platform::observe_pauses(nullptr); }

  std::string failure_of_fetch(const std::u16string& release_base) {
    try {
      fetch_release_list(release_base, development_key);
    } catch (const Failure& failure) {
      return failure.what();
    }
    return "";
  }
};

TEST_F(FetchReleaseList, FetchesTheSignatureThenTheListAndItsFilesVerify) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature}}},
               {"/app/1.4.2/release.json", {{200, release_document}}},
               {"/app/1.4.2/files/host/Corvalis.acsrf", {{200, "abc"}}}});
  const std::u16string release_base = host.url("/app/1.4.2");
  ReleaseList list = fetch_release_list(release_base, development_key);
  EXPECT_EQ(list.document_text, release_document);
  EXPECT_EQ(list.signature_text, release_signature);
  EXPECT_EQ(list.document.member("version").text, "1.4.2");
  const JsonValue& files = list.document.member("files");
  ASSERT_EQ(files.elements.size(), 1u);
  EXPECT_EQ(download_release_file(release_base, files.elements[0]), "abc");
  EXPECT_EQ(host.request_paths(), (Paths{"/app/1.4.2/release.sig", "/app/1.4.2/release.json",
                                         "/app/1.4.2/files/host/Corvalis.acsrf"}));
}

TEST_F(FetchReleaseList, AMissingSignatureEndsItBeforeTheListIsRequested) {
  host.script({{"/app/1.4.2/release.json", {{200, release_document}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), download_failure_message);
  EXPECT_EQ(host.request_paths(), Paths{"/app/1.4.2/release.sig"});
}

TEST_F(FetchReleaseList, AMissingListFailsAsADownload) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), download_failure_message);
  EXPECT_EQ(host.request_paths(), (Paths{"/app/1.4.2/release.sig", "/app/1.4.2/release.json"}));
}

TEST_F(FetchReleaseList, AListChangedAfterSigningIsRefusedAsUnsigned) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature}}},
               {"/app/1.4.2/release.json", {{200, release_document + "\n"}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), unsigned_message);
}

TEST_F(FetchReleaseList, TheBuiltInKeyDecidesWithoutAKeyArgument) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature}}},
               {"/app/1.4.2/release.json", {{200, release_document}}}});
  std::string failure;
  try {
    fetch_release_list(host.url("/app/1.4.2"));
  } catch (const Failure& caught) {
    failure = caught.what();
  }
  // Signed with the development key: accepted exactly when the build trusts that key.
  EXPECT_EQ(failure, release_key_is_development ? "" : unsigned_message);
}

}  // namespace
