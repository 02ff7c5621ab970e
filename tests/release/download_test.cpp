#include "release/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>
#include <vector>

#include "failure.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "release/http_client.h"
#include "support/release_host.h"
#include "support/sandbox.h"

namespace {

const std::string empty_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// "0123456789", ten bytes.
const std::string ten_digest = "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882";

TEST(PercentEncodePath, KeepsLettersDigitsAndSlashDashUnderscoreDotTilde) {
  EXPECT_EQ(percent_encode_path("host/Corvalis_Importer.prm"), "host/Corvalis_Importer.prm");
  EXPECT_EQ(percent_encode_path("a-b_c.d~e/0123456789/XYZxyz"), "a-b_c.d~e/0123456789/XYZxyz");
  EXPECT_EQ(percent_encode_path(""), "");
}

TEST(PercentEncodePath, EscapesEveryOtherByteWithUpperCaseDigits) {
  EXPECT_EQ(percent_encode_path("my file.txt"), "my%20file.txt");
  EXPECT_EQ(percent_encode_path("100%"), "100%25");
  EXPECT_EQ(percent_encode_path("a+b?c#d&e=f"), "a%2Bb%3Fc%23d%26e%3Df");
  EXPECT_EQ(percent_encode_path("caf\xC3\xA9"), "caf%C3%A9");
  EXPECT_EQ(percent_encode_path("\x01\x1F\x7F\xFF\\:"), "%01%1F%7F%FF%5C%3A");
  EXPECT_EQ(percent_encode_path(std::string("a\0b", 3)), "a%00b");
}

TEST(Sha256Hex, IsTheLowerCaseDigest) {
  EXPECT_EQ(sha256_hex(""), empty_digest);
  EXPECT_EQ(sha256_hex("abc"), abc_digest);
  EXPECT_EQ(sha256_hex("0123456789"), ten_digest);
  // FIPS 180-4's two-block example.
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(ExpectedFileSize, TruncatesTowardZero) {
  EXPECT_EQ(expected_file_size(10.0), 10u);
  EXPECT_EQ(expected_file_size(10.7), 10u);
  EXPECT_EQ(expected_file_size(0.0), 0u);
  EXPECT_EQ(expected_file_size(-0.0), 0u);
  EXPECT_EQ(expected_file_size(-0.999), 0u);
  EXPECT_EQ(expected_file_size(209715200.0), 209715200u);
  // The largest double below 2^64.
  EXPECT_EQ(expected_file_size(18446744073709549568.0), 18446744073709549568u);
}

TEST(ExpectedFileSize, NothingForNaNMinusOneAndBelowOrBeyond64Bits) {
  EXPECT_EQ(expected_file_size(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(expected_file_size(-1.0), std::nullopt);
  EXPECT_EQ(expected_file_size(-1e300), std::nullopt);
  EXPECT_EQ(expected_file_size(-std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(expected_file_size(18446744073709551616.0), std::nullopt);
  EXPECT_EQ(expected_file_size(1e300), std::nullopt);
  EXPECT_EQ(expected_file_size(std::numeric_limits<double>::infinity()), std::nullopt);
}

class DownloadReleaseFile : public testing::Test {
 protected:
  Sandbox sandbox;
  ReleaseHostSession host;
  std::u16string release_base;

  void SetUp() override {
    ASSERT_TRUE(host.running());
    platform::observe_pauses_for_testing([](std::uint32_t) {});
    release_base = host.url("/loader/1.4.2");
  }
  void TearDown() override { platform::observe_pauses_for_testing(nullptr); }

  // Downloads the entry written as JSON into a staging file; the failure message (and then no
  // staging file is left), or "" with the bytes in `bytes`.
  std::string download(const std::string& entry_json, std::string* bytes = nullptr,
                       const ReceivedBytes& received = {}) {
    const JsonValue entry = parse_json(entry_json);
    const std::u16string staged = sandbox.path(u"staged.download");
    try {
      download_release_file(release_base, entry, staged, received);
      if (bytes) *bytes = file_content(staged);
      return "";
    } catch (const Failure& failure) {
      EXPECT_FALSE(platform::path_exists(staged));
      return failure.what();
    }
  }
};

TEST_F(DownloadReleaseFile, RequestsTheEncodedPathBelowTheReleasesFilesFolder) {
  const std::string path = "/loader/1.4.2/files/CSXS/my%20file%2550%25%C3%A9.xml";
  host.script({{path, {{200, "abc"}}}});
  std::string bytes;
  EXPECT_EQ(download("{\"path\":\"CSXS/my file%50%\xC3\xA9.xml\",\"size\":3,\"sha256\":\"" +
                         abc_digest + "\"}",
                     &bytes),
            "");
  EXPECT_EQ(bytes, "abc");
  EXPECT_EQ(host.request_paths(), std::vector<std::string>{path});
}

TEST_F(DownloadReleaseFile, AcceptsOnlyTheListedLengthAndLowerCaseDigest) {
  host.script({{"/loader/1.4.2/files/ten", {{200, "0123456789"}}},
               {"/loader/1.4.2/files/eleven", {{200, "0123456789+"}}},
               {"/loader/1.4.2/files/empty", {{200, ""}}}});
  const auto entry = [](const char* path, const std::string& size, const std::string& digest) {
    return std::string("{\"path\":\"") + path + "\",\"size\":" + size + ",\"sha256\":\"" + digest +
           "\"}";
  };
  std::string upper = ten_digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  EXPECT_EQ(download(entry("ten", "10", ten_digest)), "");
  EXPECT_EQ(download(entry("ten", "10.7", ten_digest)), "");
  EXPECT_EQ(download(entry("ten", "1.0e1", ten_digest)), "");
  EXPECT_EQ(download(entry("ten", "9", ten_digest)), damaged_download_message);
  EXPECT_EQ(download(entry("ten", "11", ten_digest)), damaged_download_message);
  EXPECT_EQ(download(entry("ten", "-1", ten_digest)), damaged_download_message);
  EXPECT_EQ(download(entry("ten", "10", upper)), damaged_download_message);
  EXPECT_EQ(download(entry("ten", "10", " " + ten_digest)), damaged_download_message);
  EXPECT_EQ(download(entry("ten", "10", abc_digest)), damaged_download_message);
  // The right digest for ten bytes, but an eleventh byte arrived.
  EXPECT_EQ(download(entry("eleven", "10", ten_digest)), damaged_download_message);
  EXPECT_EQ(download(entry("empty", "0", empty_digest)), "");
  EXPECT_EQ(download(entry("empty", "0.5", empty_digest)), "");
  EXPECT_EQ(download(entry("empty", "-0.5", empty_digest)), "");
}

TEST_F(DownloadReleaseFile, MissingMembersReadAsEmptyTextAndZero) {
  host.script({{"/loader/1.4.2/files/ten", {{200, "0123456789"}}},
               {"/loader/1.4.2/files/empty", {{200, ""}}},
               {"/loader/1.4.2/files/", {{200, ""}}}});
  // Without "sha256" nothing matches; without "size" only an empty file has the length.
  EXPECT_EQ(download("{\"path\":\"ten\",\"size\":10}"), damaged_download_message);
  EXPECT_EQ(download("{\"path\":\"ten\",\"sha256\":\"" + ten_digest + "\"}"),
            damaged_download_message);
  EXPECT_EQ(download("{\"path\":\"empty\",\"sha256\":\"" + empty_digest + "\"}"), "");
  // A size given as text is not a number: it reads as 0.
  EXPECT_EQ(download("{\"path\":\"ten\",\"size\":\"10\",\"sha256\":\"" + ten_digest + "\"}"),
            damaged_download_message);
  // Without "path" the URL ends in "/files/".
  EXPECT_EQ(download("{\"size\":0,\"sha256\":\"" + empty_digest + "\"}"), "");
}

TEST_F(DownloadReleaseFile, AFileLongerThanListedIsRefusedUnreadAndARetryStartsTheFileOver) {
  HostAnswer huge{200}, cut{200, "0123456789"};
  huge.size = 50LL * 1024 * 1024;
  cut.cut = 5;  // the first attempt breaks after "01234"
  host.script({{"/loader/1.4.2/files/huge", {huge}},
               {"/loader/1.4.2/files/ten", {cut, {200, "0123456789"}}}});
  // The stated length is beyond the listed size: damaged before a byte is read.
  EXPECT_EQ(download("{\"path\":\"huge\",\"size\":10,\"sha256\":\"" + ten_digest + "\"}"),
            damaged_download_message);
  EXPECT_LT(host.body_bytes_sent("/loader/1.4.2/files/huge"), huge.size / 4);
  // The retry's bytes replace the broken attempt's, they are not appended to them, and the
  // count of bytes received starts over with them.
  std::string bytes;
  std::vector<std::uint64_t> counts;
  const ReceivedBytes record = [&counts](std::uint64_t received) { counts.push_back(received); };
  EXPECT_EQ(
      download("{\"path\":\"ten\",\"size\":10,\"sha256\":\"" + ten_digest + "\"}", &bytes, record),
      "");
  EXPECT_EQ(bytes, "0123456789");
  ASSERT_EQ(std::count(counts.begin(), counts.end(), 0u), 2);  // one start per attempt
  const auto retry = std::find(counts.begin() + 1, counts.end(), 0u);
  EXPECT_EQ(counts.front(), 0u);
  EXPECT_TRUE(std::is_sorted(counts.begin(), retry) && std::is_sorted(retry, counts.end()));
  EXPECT_EQ(retry[-1], 5u);  // the first attempt's five bytes
  EXPECT_EQ(counts.back(), 10u);
  EXPECT_EQ(host.request_paths(),
            (std::vector<std::string>{"/loader/1.4.2/files/huge", "/loader/1.4.2/files/ten",
                                      "/loader/1.4.2/files/ten"}));
}

TEST_F(DownloadReleaseFile, ADamagedFileIsNotFetchedAgainAndAMissingOneFailsAsADownload) {
  host.script({{"/loader/1.4.2/files/ten", {{200, "0123456789"}}}});
  EXPECT_EQ(download("{\"path\":\"ten\",\"size\":10,\"sha256\":\"" + abc_digest + "\"}"),
            damaged_download_message);
  EXPECT_EQ(host.request_paths().size(), 1u);
  EXPECT_EQ(download("{\"path\":\"gone\",\"size\":10,\"sha256\":\"" + ten_digest + "\"}"),
            download_failure_message);
}

}  // namespace
