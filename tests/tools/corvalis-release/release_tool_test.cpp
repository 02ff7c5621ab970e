#include "release_tool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "failure.h"
#include "fs/paths.h"
#include "platform/text.h"
#include "release/download.h"
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
    write(from() / "host" / "Corvalis_Importer.prm", "importer");
    write(from() / "css" / "my style.css", "body {}");
  }

  fs::path key_file() const { return base_ / "release.pem"; }
  fs::path root() const { return base_ / "host-root"; }
  fs::path from() const { return base_ / "from"; }

  // A publish signed with the fixture's key, for an installer that trusts it.
  PublishRequest request(const std::string& component, const std::string& version,
                         bool channel = true) {
    PublishRequest request{key_file(), root(), component, version, from(), channel, {}};
    std::copy(public_key_, public_key_ + 32, request.rules.trusted_key.begin());
    return request;
  }
  void publish(const std::string& component, const std::string& version, bool channel = true) {
    publish_release(request(component, version, channel));
  }
  ChannelRules rules() const {
    ChannelRules rules;
    std::copy(public_key_, public_key_ + 32, rules.trusted_key.begin());
    return rules;
  }
  std::string stable() const { return read(root() / "app" / "channels" / "stable.json"); }

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
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[0].member("path").text, "css/my style.css");
  EXPECT_EQ(files[1].member("path").text, "host/Corvalis.acsrf");
  EXPECT_EQ(files[1].member("size").number, 3.0);
  EXPECT_EQ(files[1].member("sha256").text,
            "ae4b3280e56e2faf83f414a6e3dabe9d5fbe18976544c05fed121accb85b53fc");
  EXPECT_EQ(verify_release(root(), "loader", "1.4.2", public_key_), 4u);
}

TEST_F(ReleaseTool, AppReleasesMoveTheStableChannel) {
  publish("app", "2.0");
  publish("app", "2.1");
  EXPECT_EQ(read(root() / "app" / "channels" / "stable.json"), "{\"version\":\"2.1\"}\n");
  publish("app", "3.0", false);
  EXPECT_EQ(read(root() / "app" / "channels" / "stable.json"), "{\"version\":\"2.1\"}\n");
  EXPECT_EQ(verify_release(root(), "app", "2.0", public_key_), 4u);
  EXPECT_THROW(publish("app", "2.1"), ToolError);  // a published release is never changed
}

TEST_F(ReleaseTool, VerifyFindsEveryKindOfDamage) {
  publish("app", "1.0");
  const fs::path folder = root() / "app" / "1.0";
  std::uint8_t other_key[32];
  parse_key_hex(generate_key(base_ / "other.pem"), other_key);
  try {
    verify_release(root(), "app", "1.0", other_key);
    ADD_FAILURE() << "a release signed by another key verified";
  } catch (const ToolError& error) {
    EXPECT_NE(std::string(error.what()).find(lowercase_hex(other_key, 32)), std::string::npos);
  }

  write(folder / "files" / "index.html", "<html> </html>");  // same listing, other bytes
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);
  write(folder / "files" / "index.html", "<html></html>");
  EXPECT_EQ(verify_release(root(), "app", "1.0", public_key_), 4u);

  fs::remove(folder / "files" / "host" / "Corvalis.acsrf");
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);

  write(folder / "release.json", read(folder / "release.json") + " ");
  EXPECT_THROW(verify_release(root(), "app", "1.0", public_key_), ToolError);
}

TEST_F(ReleaseTool, RefusesWhatTheInstallerWouldRefuse) {
  for (const char* version : {"", "1.4-beta", "v2", "1 .2", "1/2"}) {
    EXPECT_NE(version_problem(version).find("the installer would refuse it"), std::string::npos);
    EXPECT_THROW(publish("loader", version), ToolError) << version;
  }
  // Taken by the installer, never meant by a publisher ("." would even name the component's own
  // folder, which exists).
  for (const char* version : {".", "..", "1..2", "1.", ".1"}) {
    EXPECT_NE(version_problem(version).find("empty field"), std::string::npos) << version;
  }
  EXPECT_EQ(version_problem("10.0.2"), "");
  EXPECT_THROW(publish("plugin", "1.0"), ToolError);
  EXPECT_FALSE(fs::exists(root()));

  for (const char* name : {"C:evil", "back\\slash"}) {
    write(from() / name, "x");
    EXPECT_THROW(publish("loader", "1.0"), ToolError) << name;
    EXPECT_FALSE(fs::exists(root() / "loader" / "1.0")) << name;
    fs::remove(from() / name);
  }

  fs::create_symlink("/etc/passwd", from() / "css" / "link");
  try {
    publish("loader", "1.0");
    ADD_FAILURE() << "a link was published";
  } catch (const ToolError& error) {
    EXPECT_NE(std::string(error.what()).find("\"css/link\" is a link"), std::string::npos)
        << error.what();
  }
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
    EXPECT_THROW(publish("loader", "1.0"), ToolError) << paths.front();
    EXPECT_FALSE(fs::exists(root() / "loader" / "1.0")) << paths.front();
  }

  // Near misses, and folders that differ only in case (Windows merges them; every file keeps
  // its place).
  fs::remove_all(from());
  for (const char* path : {"CONSOLE.txt", "com10", "nul-device", "a.b.c", ".hidden", "img/a.png",
                           "IMG/b.png", "\u00DF.txt", "ss.txt"}) {
    write(from() / path, "x");
  }
  publish("loader", "1.0");
  EXPECT_EQ(verify_release(root(), "loader", "1.0", public_key_), 9u);
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

// Each way a publish could break every user's next install is refused before anything is
// written: the channel document keeps its bytes and no release folder appears.
TEST_F(ReleaseTool, RefusesWhatWouldBreakTheChannel) {
  publish("app", "2.10");
  const std::string channel = stable();
  const auto refused = [&](const PublishRequest& request, const std::string& says) {
    try {
      publish_release(request);
      ADD_FAILURE() << request.version << " was published";
    } catch (const ToolError& error) {
      EXPECT_NE(std::string(error.what()).find(says), std::string::npos) << error.what();
    }
    EXPECT_EQ(stable(), channel);
    EXPECT_FALSE(fs::exists(root() / "app" / request.version)) << request.version;
  };
  // Signed with a key the installer does not trust: another key, or the development key.
  PublishRequest other = request("app", "2.11");
  other.key_file = base_ / "other.pem";
  refused(other, generate_key(other.key_file) + ", but the installer trusts " + public_hex_);
  other.key_file = CORVALIS_DEVELOPMENT_KEY;
  refused(other, "6dca4a726f00be3c8b1307442fd07c6142e2b548a730839d9d89320a0a11c44d, but");
  refused(request("app", "2.9"), "names 2.10, and 2.9 is lower");
  fs::remove(from() / "host" / "Corvalis_Importer.prm");
  refused(request("app", "2.11"), "has no host/Corvalis_Importer.prm:");
  fs::remove(from() / "host" / "Corvalis.acsrf");
  refused(request("app", "2.11"), "has no host/Corvalis.acsrf and host/Corvalis_Importer.prm");
  fs::remove_all(from());
  fs::create_directories(from());
  PublishRequest empty = request("app", "2.11");
  empty.rules.partial = true;
  refused(empty, "holds no files");
}

TEST_F(ReleaseTool, MovesTheChannelAsThePublisherSays) {
  // Another key than the tool's, when the installer trusts it.
  PublishRequest other = request("app", "3.0");
  other.key_file = base_ / "other.pem";
  ASSERT_TRUE(parse_key_hex(generate_key(other.key_file), other.rules.trusted_key.data()));
  publish_release(other);
  EXPECT_EQ(stable(), "{\"version\":\"3.0\"}\n");
  publish("app", "2.0", false);  // a lower version that leaves the channel alone
  PublishRequest back = request("app", "2.0.0.1");
  back.rules.allow_downgrade = true;
  publish_release(back);
  EXPECT_EQ(stable(), "{\"version\":\"2.0.0.1\"}\n");
  fs::remove(from() / "host" / "Corvalis.acsrf");
  PublishRequest partial = request("app", "2.0.0.2");
  partial.rules.partial = true;
  publish_release(partial);
  EXPECT_EQ(stable(), "{\"version\":\"2.0.0.2\"}\n");
}

TEST_F(ReleaseTool, PromoteMovesTheChannelOnlyToAVerifiedRelease) {
  publish("app", "1.0");
  publish("app", "1.1", false);
  const auto refused = [&](const std::string& version, const ChannelRules& rules,
                           const std::string& says) {
    try {
      promote_release(root(), "app", version, rules);
      ADD_FAILURE() << version << " was promoted";
    } catch (const ToolError& error) {
      EXPECT_NE(std::string(error.what()).find(says), std::string::npos) << error.what();
    }
    EXPECT_EQ(stable(), "{\"version\":\"1.0\"}\n");
  };
  const fs::path index = root() / "app" / "1.1" / "files" / "index.html";
  write(index, "<HTML></HTML>");  // same size, other bytes
  refused("1.1", rules(), "does not match its SHA-256");
  write(index, "<html></html>");
  refused("1.1", ChannelRules{}, "by the key " + lowercase_hex(installer_key().data(), 32));
  refused("1.2", rules(), "No release app 1.2 is published");
  fs::remove(from() / "host" / "Corvalis.acsrf");
  PublishRequest partial = request("app", "1.2", false);
  partial.rules.partial = true;
  publish_release(partial);
  refused("1.2", rules(), "has no host/Corvalis.acsrf");

  promote_release(root(), "app", "1.1", rules());
  EXPECT_EQ(stable(), "{\"version\":\"1.1\"}\n");
  EXPECT_THROW(promote_release(root(), "app", "1.0", rules()), ToolError);
  ChannelRules back = rules();
  back.allow_downgrade = true;
  promote_release(root(), "app", "1.0", back);
  EXPECT_EQ(stable(), "{\"version\":\"1.0\"}\n");
  back.partial = true;
  promote_release(root(), "app", "1.2", back);
  EXPECT_EQ(stable(), "{\"version\":\"1.2\"}\n");
  publish("loader", "0.9", false);
  promote_release(root(), "loader", "0.9", rules());
  EXPECT_EQ(read(root() / "loader" / "latest.json"), "{\"version\":\"0.9\"}\n");
}

TEST(ReleaseToolVersions, CompareFieldByFieldAsNumbers) {
  struct Case {
    const char *a, *b;
    int order;
  };
  for (const Case& c : {Case{"1.10", "1.9", 1}, Case{"2", "10", -1}, Case{"1.2", "1.2.0", 0},
                        Case{"1..2", "1.0.2", 0}, Case{"01.2", "1.2", 0}, Case{"1.", "1", 0},
                        Case{"1.2.3", "1.2.10", -1}, Case{"0.0", "", 0},
                        Case{"99999999999999999999", "100000000000000000000", -1}}) {
    EXPECT_EQ(compare_versions(c.a, c.b), c.order) << c.a << " against " << c.b;
    EXPECT_EQ(compare_versions(c.b, c.a), -c.order) << c.b << " against " << c.a;
  }
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
