#include "app/settings.h"

#include <gtest/gtest.h>

#include "fs/paths.h"
#include "platform/text.h"
#include "product.h"

namespace {

class CommandLine : public testing::Test {
 protected:
  // Parses "setup.exe" followed by the given arguments; the settings of an accepted command
  // line become `settings`.
  bool scan(std::initializer_list<std::u16string> arguments) {
    std::vector<std::u16string> all{u"setup.exe"};
    all.insert(all.end(), arguments);
    const std::optional<RunSettings> parsed = parse_command_line(all);
    if (parsed) settings = *parsed;
    return parsed.has_value();
  }
  bool check_mode() const { return settings.check; }
  const std::u16string& base_url() const { return settings.base; }

  RunSettings settings;
};

TEST_F(CommandLine, DefaultsAreAnHttpsOriginAndInstallMode) {
  EXPECT_TRUE(scan({}));
  EXPECT_FALSE(check_mode());
  EXPECT_EQ(base_url(), default_release_host);
  EXPECT_TRUE(base_url().starts_with(u"https://"));
  EXPECT_NE(base_url().back(), u'/');
}

TEST_F(CommandLine, TrailingSlashesAreAllRemoved) {
  EXPECT_TRUE(scan({u"--base", u"https://example.com/releases/"}));
  EXPECT_EQ(base_url(), u"https://example.com/releases");
  EXPECT_TRUE(scan({u"--base", u"https://example.com///"}));
  EXPECT_EQ(base_url(), u"https://example.com");
}

TEST_F(CommandLine, LocalHttpHostsAreAcceptedWithAPortAndAPath) {
  EXPECT_TRUE(scan({u"--base", u"http://localhost:8080"}));
  EXPECT_EQ(base_url(), u"http://localhost:8080");
  EXPECT_TRUE(scan({u"--base", u"http://127.0.0.1:9000/"}));
  EXPECT_EQ(base_url(), u"http://127.0.0.1:9000");
  for (const char16_t* value :
       {u"http://localhost", u"http://127.0.0.1/", u"http://localhost/mirror",
        u"http://127.0.0.1:65535/a/b", u"http://localhost:1"}) {
    EXPECT_TRUE(scan({u"--base", value})) << "refused: " << platform::utf16_to_utf8(value);
  }
}

TEST_F(CommandLine, OtherValuesAreRefused) {
  for (const char16_t* value :
       {u"http://example.com", u"HTTPS://example.com", u"Http://localhost", u"", u"https://",
        u"https:///", u"ftp://127.0.0.1", u"http://[::1]:8080", u" https://example.com",
        // Plain http that only looks like this machine: user info, more host name, more
        // digits, another separator, a port that is no port.
        u"http://127.0.0.1@192.0.2.2:8768", u"http://localhost@192.0.2.2",
        u"http://localhost:80@evil.example", u"http://localhost:8768/@192.0.2.2",
        u"http://localhost.example.com", u"http://localhost.", u"http://localhostx",
        u"http://127.0.0.123", u"http://127.0.0.1.example.com", u"http://LOCALHOST",
        u"http://localhost\\.example.com", u"http://localhost?.example.com",
        u"http://localhost#.example.com", u"http://localhost:", u"http://localhost:/x",
        u"http://localhost:0", u"http://localhost:65536", u"http://localhost:08080",
        u"http://localhost:80x", u"http://localhost:+80", u"http://localhost :80"}) {
    EXPECT_FALSE(scan({u"--base", value})) << "accepted: " << platform::utf16_to_utf8(value);
  }
}

TEST_F(CommandLine, ARefusedBaseRefusesTheWholeCommandLine) {
  EXPECT_FALSE(scan({u"--base", u"http://example.com", u"--check"}));
  EXPECT_FALSE(scan({u"--check", u"--base", u"https://example.com", u"--base", u"http://x"}));
}

TEST_F(CommandLine, CheckAndTheLastAcceptedBaseWin) {
  EXPECT_TRUE(
      scan({u"--check", u"--base", u"https://one.example", u"--base", u"https://two.example"}));
  EXPECT_TRUE(check_mode());
  EXPECT_EQ(base_url(), u"https://two.example");
}

TEST_F(CommandLine, ABaseWithoutValueIsIgnoredAndCheckAtTheEndCounts) {
  EXPECT_TRUE(scan({u"--check", u"--base"}));
  EXPECT_TRUE(check_mode());
  EXPECT_EQ(base_url(), default_release_host);
  EXPECT_TRUE(scan({u"--base", u"https://example.com", u"--check"}));
  EXPECT_TRUE(check_mode());
}

TEST_F(CommandLine, UninstallIsAskedForAnywhereAndGoesWithTheOthers) {
  EXPECT_TRUE(scan({}));
  EXPECT_FALSE(settings.uninstall);
  EXPECT_TRUE(scan({u"--base", u"https://example.com", u"--uninstall", u"--check"}));
  EXPECT_TRUE(settings.uninstall);
  EXPECT_TRUE(check_mode());
  EXPECT_EQ(base_url(), u"https://example.com");
  // A refused --base refuses an uninstall too: the program ends before anything.
  EXPECT_FALSE(scan({u"--uninstall", u"--base", u"http://example.com"}));
}

TEST_F(CommandLine, OptionsAreCaseSensitiveAndOthersIgnored) {
  EXPECT_TRUE(
      scan({u"--CHECK", u"--Base", u"http://example.com", u"/check", u"--verbose", u"--Uninstall",
            u"--UNINSTALL", u"/uninstall", u"-uninstall", u"--uninstall=yes", u"--uninstall "}));
  EXPECT_FALSE(check_mode());
  EXPECT_FALSE(settings.uninstall);
  EXPECT_EQ(base_url(), default_release_host);
}

TEST_F(CommandLine, TheProgramPathIsNeverAnOption) {
  const std::optional<RunSettings> parsed = parse_command_line({u"--check"});
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->check);
}

}  // namespace
