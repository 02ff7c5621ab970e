#include "release_tool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "failure.h"
#include "fs/paths.h"
#include "release/release_list.h"
#include "support/sandbox.h"

namespace fs = std::filesystem;

namespace {

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write(const fs::path& path, std::string_view content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

class ReleaseTool : public testing::Test {
 protected:
  ReleaseTool() : base_(platform::utf16_to_utf8(sandbox_.root())) {
    public_hex_ = generate_key(key_file());
    EXPECT_TRUE(parse_key_hex(public_hex_, public_key_));
    write(from() / "index.html", "<html></html>");
    write(from() / "host" / "Corvalis.acsrf", std::string("\0\1\2", 3));
    write(from() / "css" / "my style.css", "body {}");
  }

  fs::path key_file() const { return base_ / "release.pem"; }
  fs::path root() const { return base_ / "host-root"; }
  fs::path from() const { return base_ / "from"; }

  void publish(const std::string& component, const std::string& version, bool channel = true) {
    publish_release({key_file(), root(), component, version, from(), channel});
  }

  Sandbox sandbox_;
  fs::path base_;
  std::string public_hex_;
  std::uint8_t public_key_[32] = {};
};

TEST_F(ReleaseTool, KeygenWritesAPrivateKeyAndNeverOverwritesIt) {
  EXPECT_EQ(public_hex_.size(), 64u);
  EXPECT_EQ(public_key_hex(key_file()), public_hex_);
  EXPECT_EQ(fs::status(key_file()).permissions() & fs::perms::group_all, fs::perms::none);
  EXPECT_THROW(generate_key(key_file()), ToolError);
  EXPECT_EQ(public_key_hex(key_file()), public_hex_);
}

TEST_F(ReleaseTool, PublishedReleaseIsWhatTheInstallerAccepts) {
  publish("loader", "1.4.2");
  const fs::path folder = root() / "loader" / "1.4.2";
  EXPECT_EQ(read(root() / "loader" / "latest.json"), "{\"version\":\"1.4.2\"}\n");
  EXPECT_EQ(read(folder / "files" / "css" / "my style.css"), "body {}");

  ReleaseList list =
      open_release_list(read(folder / "release.json"), read(folder / "release.sig"), public_key_);
  EXPECT_EQ(list.document.member("version").text, "1.4.2");
  const auto& files = list.document.member("files").elements;
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].member("path").text, "css/my style.css");
  EXPECT_EQ(files[1].member("path").text, "host/Corvalis.acsrf");
  EXPECT_EQ(files[1].member("size").number, 3.0);
  EXPECT_EQ(files[1].member("sha256").text,
            "ae4b3280e56e2faf83f414a6e3dabe9d5fbe18976544c05fed121accb85b53fc");
  EXPECT_EQ(verify_release(root(), "loader", "1.4.2", public_key_), 3u);
}

TEST_F(ReleaseTool, AppReleasesMoveTheStableChannel) {
  publish("app", "2.0");
  publish("app", "2.1");
  EXPECT_EQ(read(root() / "app" / "channels" / "stable.json"), "{\"version\":\"2.1\"}\n");
  publish("app", "3.0", false);
  EXPECT_EQ(read(root() / "app" / "channels" / "stable.json"), "{\"version\":\"2.1\"}\n");
  EXPECT_EQ(verify_release(root(), "app", "2.0", public_key_), 3u);
  EXPECT_THROW(publish("app", "2.1"), ToolError);  // a published release is never changed
}

TEST_F(ReleaseTool, VerifyFindsEveryKindOfDamage) {
  publish("app", "1.0");
  const fs::path folder = root() / "app" / "1.0";
  std::uint8_t other_key[32];
  parse_key_hex(generate_key(base_ / "other.pem"), other_key);
  EXPECT_THROW(verify_release(root(), "app", "1.0", other_key), ToolError);

  write(folder / "files" / "index.html", "<html> </html>");  // same listing, other bytes
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);
  write(folder / "files" / "index.html", "<html></html>");
  EXPECT_EQ(verify_release(root(), "app", "1.0", public_key_), 3u);

  fs::remove(folder / "files" / "host" / "Corvalis.acsrf");
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);

  write(folder / "release.json", read(folder / "release.json") + " ");
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);
}

TEST_F(ReleaseTool, RefusesWhatTheInstallerWouldRefuse) {
  for (const char* version : {"", "1.4-beta", "v2", "1 .2", "1/2"}) {
    EXPECT_THROW(publish("loader", version), ToolError) << version;
  }
  EXPECT_THROW(publish("plugin", "1.0"), ToolError);
  EXPECT_FALSE(fs::exists(root()));

  for (const char* name : {"C:evil", "back\\slash"}) {
    write(from() / name, "x");
    EXPECT_THROW(publish("loader", "1.0"), ToolError) << name;
    EXPECT_FALSE(fs::exists(root() / "loader" / "1.0")) << name;
    fs::remove(from() / name);
  }

  fs::create_symlink("/etc/passwd", from() / "link");
  EXPECT_THROW(publish("loader", "1.0"), ToolError);
  EXPECT_FALSE(fs::exists(root() / "loader" / "1.0"));
}

// Paths the installer takes but Windows cannot hold in Premiere's folders: the installer's
// long-path form would even create some of them ("CON", "a."), and nothing else could open them.
TEST_F(ReleaseTool, RefusesPathsWindowsCannotHold) {
  const std::vector<std::vector<std::string>> refused = {
      {"CON"},
      {"nul.txt"},
      {"host/Com1.log"},
      {"LPT9"},
      {"conout$"},
      {"prn .txt"},
      {"lpt\u00B9.txt"},
      {"a."},
      {"b "},
      {"folder./x"},
      {"what?"},
      {"a<b"},
      {"pipe|"},
      {"star*"},
      {"quote\""},
      {"tab\tname"},
      // Two files, or a file and a folder, that Windows takes for one.
      {"Readme.txt", "README.TXT"},
      {"host/a", "HOST/a"},
      {"docs", "Docs/x"},
      {"\u00C4pfel.txt", "\u00E4pfel.txt"},
      {"\u017Dena", "\u017Eena"}};
  for (const auto& paths : refused) {
    fs::remove_all(from());
    for (const std::string& path : paths) write(from() / path, "x");
    EXPECT_THROW(publish("app", "1.0"), ToolError) << paths.front();
    EXPECT_FALSE(fs::exists(root() / "app" / "1.0")) << paths.front();
  }

  // Near misses, and folders that differ only in case (Windows merges them; every file keeps
  // its place).
  fs::remove_all(from());
  for (const char* path : {"CONSOLE.txt", "com10", "nul-device", "a.b.c", ".hidden", "img/a.png",
                           "IMG/b.png", "\u00DF.txt", "ss.txt"}) {
    write(from() / path, "x");
  }
  publish("app", "1.0");
  EXPECT_EQ(verify_release(root(), "app", "1.0", public_key_), 9u);
}

TEST_F(ReleaseTool, AnEmptyFolderIsAReleaseWithNoFiles) {
  fs::remove_all(from());
  fs::create_directories(from());
  publish("loader", "0.1");
  EXPECT_EQ(verify_release(root(), "loader", "0.1", public_key_), 0u);
}

TEST_F(ReleaseTool, SignsAnyDocumentAsPublishWould) {
  publish("loader", "1.0");
  const fs::path folder = root() / "loader" / "1.0";
  EXPECT_EQ(sign_document(key_file(), read(folder / "release.json")), read(folder / "release.sig"));

  // A list publish would refuse to write is signed as it stands; the installer's signature
  // check passes it on to the checks of what it says.
  const std::string hostile = "{\"files\":[{\"path\":\"../x\"}]}";
  ReleaseList list =
      open_release_list(std::string(hostile), sign_document(key_file(), hostile), public_key_);
  EXPECT_EQ(list.document.member("files").elements.at(0).member("path").text, "../x");
  EXPECT_THROW(sign_document(base_ / "missing.pem", hostile), ToolError);
}

TEST(ReleaseToolKeys, HexKeysAreExactly64Digits) {
  std::uint8_t key[32];
  EXPECT_TRUE(parse_key_hex(std::string(64, 'A'), key));
  EXPECT_EQ(key[0], 0xAA);
  EXPECT_FALSE(parse_key_hex(std::string(63, 'a'), key));
  EXPECT_FALSE(parse_key_hex(std::string(66, 'a'), key));
  EXPECT_FALSE(parse_key_hex(std::string(63, 'a') + "g", key));
}

}  // namespace
