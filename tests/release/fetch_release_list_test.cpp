#include "release/fetch_release_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "platform/process.h"
#include "release/download.h"
#include "release/http_client.h"
#include "release/release_key.h"
#include "support/release_host.h"
#include "support/sandbox.h"
#include "support/signed_release.h"

namespace {

const std::string release_signature_text = release_signature + "\n";

using Paths = std::vector<std::string>;

class FetchReleaseList : public testing::Test {
 protected:
  Sandbox sandbox;
  ReleaseHostSession host;

  void SetUp() override {
    ASSERT_TRUE(host.running());
    platform::observe_pauses_for_testing([](std::uint32_t) {});
  }
  void TearDown() override { platform::observe_pauses_for_testing(nullptr); }

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
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature_text}}},
               {"/app/1.4.2/release.json", {{200, release_document}}},
               {"/app/1.4.2/files/host/Corvalis.acsrf", {{200, "abc"}}}});
  const std::u16string release_base = host.url("/app/1.4.2");
  ReleaseList list = fetch_release_list(release_base, development_key);
  EXPECT_EQ(list.document_text, release_document);
  EXPECT_EQ(list.signature_text, release_signature_text);
  EXPECT_EQ(list.document.member("version").text, "1.4.2");
  const JsonValue& files = list.document.member("files");
  ASSERT_EQ(files.elements.size(), 1u);
  const std::u16string staged = sandbox.path(u"abc.download");
  download_release_file(release_base, files.elements[0], staged);
  EXPECT_EQ(file_content(staged), "abc");
  EXPECT_EQ(host.request_paths(), (Paths{"/app/1.4.2/release.sig", "/app/1.4.2/release.json",
                                         "/app/1.4.2/files/host/Corvalis.acsrf"}));
}

TEST_F(FetchReleaseList, AMissingSignatureEndsItBeforeTheListIsRequested) {
  host.script({{"/app/1.4.2/release.json", {{200, release_document}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), download_failure_message);
  EXPECT_EQ(host.request_paths(), Paths{"/app/1.4.2/release.sig"});
}

TEST_F(FetchReleaseList, AMissingListFailsAsADownload) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature_text}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), download_failure_message);
  EXPECT_EQ(host.request_paths(), (Paths{"/app/1.4.2/release.sig", "/app/1.4.2/release.json"}));
}

TEST_F(FetchReleaseList, AListChangedAfterSigningIsRefusedAsUnsigned) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature_text}}},
               {"/app/1.4.2/release.json", {{200, release_document + "\n"}}}});
  EXPECT_EQ(failure_of_fetch(host.url("/app/1.4.2")), unsigned_message);
}

TEST_F(FetchReleaseList, TheBuiltInKeyDecidesWithoutAKeyArgument) {
  host.script({{"/app/1.4.2/release.sig", {{200, release_signature_text}}},
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
