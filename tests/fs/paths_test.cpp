#include "fs/paths.h"

#include <gtest/gtest.h>

#include "failure.h"
#include "platform/text.h"
#include "platform/users.h"

namespace {

// The separator as a string, so expectations read the same on every platform.
const std::u16string sep(1, platform::path_separator);

TEST(JoinPath, AddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_EQ(join_path(u"C:" + sep + u"A", u"b"), u"C:" + sep + u"A" + sep + u"b");
  EXPECT_EQ(join_path(u"C:" + sep + u"A" + sep, u"b"), u"C:" + sep + u"A" + sep + u"b");
  EXPECT_EQ(join_path(u"", u"b"), u"b");
  EXPECT_EQ(join_path(u"A", u""), u"A" + sep);
}

TEST(JoinPath, OnlyThePlatformSeparatorCounts) {
  if (platform::path_separator == u'/') GTEST_SKIP() << "'/' is the separator on POSIX";
  EXPECT_EQ(join_path(u"C:\\A/", u"b"), u"C:\\A/\\b");
}

TEST(FolderAndName, SplitAtTheLastSeparatorAndARootKeepsItsOwn) {
  using Split = std::pair<std::u16string, std::u16string>;
  const std::u16string root = platform::path_separator == u'/' ? sep : u"C:" + sep;
  EXPECT_EQ(folder_and_name(root + u"a" + sep + u"b.log"), Split(root + u"a", u"b.log"));
  // "C:" alone would be the current folder of drive C, not its root.
  EXPECT_EQ(folder_and_name(root + u"b.log"), Split(root, u"b.log"));
  EXPECT_EQ(folder_and_name(u"b.log"), Split(u".", u"b.log"));
  EXPECT_EQ(folder_and_name(root + u"a" + sep), Split(root + u"a", u""));
}

TEST(JoinReleasePath, JoinsEachSegmentWithEitherSeparator) {
  const std::u16string expected = u"R" + sep + u"css" + sep + u"style.css";
  EXPECT_EQ(join_release_path(u"R", "css/style.css"), expected);
  EXPECT_EQ(join_release_path(u"R", "css\\style.css"), expected);
  EXPECT_EQ(join_release_path(u"R" + sep, "css/style.css"), expected);
}

TEST(JoinReleasePath, RefusesEverythingThatCouldLeaveTheRoot) {
  for (const char* refused :
       {"",       "/etc",         "\\etc", "C:x",  "a:b",       "C:\\x",
        "a//b",   "a\\\\b",       "a/",    "a\\",  "./a",       "a/./b",
        "a/../b", "..",           ".",     "../x", "a/../../x", "\\\\server\\share\\x",
        "a/b/..", "host/x:stream"}) {
    EXPECT_EQ(join_release_path(u"R", refused), u"") << "accepted: " << refused;
  }
  // A NUL ends the name in the platform's calls, so what is written would not be what was
  // judged.
  using namespace std::string_view_literals;
  for (const std::string_view refused : {"..\0/x"sv, "a\0b"sv, "x\0"sv, "\0"sv}) {
    EXPECT_EQ(join_release_path(u"R", refused), u"") << "accepted a path with a NUL";
  }
}

TEST(JoinReleasePath, AcceptsDotsThatAreNames) {
  EXPECT_EQ(join_release_path(u"R", "..."), u"R" + sep + u"...");
  EXPECT_EQ(join_release_path(u"R", "a/.b/c"), u"R" + sep + u"a" + sep + u".b" + sep + u"c");
  EXPECT_EQ(join_release_path(u"R", "a..b"), u"R" + sep + u"a..b");
  EXPECT_EQ(join_release_path(u"R", "Mixed Case.TXT"), u"R" + sep + u"Mixed Case.TXT");
}

TEST(JoinReleasePath, ConvertsUtf8Segments) {
  EXPECT_EQ(join_release_path(u"R", "\xC3\xA9.txt"), u"R" + sep + u"\u00E9.txt");
  EXPECT_EQ(join_release_path(u"R", "d\xF0\x9F\x98\x80/x"),
            u"R" + sep + u"d\U0001F600" + sep + u"x");
}

TEST(Conversion, RoundTripsWellFormedText) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::u16string wide = platform::utf8_to_utf16(text);
  EXPECT_EQ(wide, u"a\u00E9\u20AC\U0001F600z");
  EXPECT_EQ(platform::utf16_to_utf8(wide), text);
  EXPECT_EQ(platform::utf8_to_utf16(""), u"");
  EXPECT_EQ(platform::utf16_to_utf8(u""), "");
}

TEST(Conversion, IllFormedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(platform::utf8_to_utf16("\xFF\xFE"), u"\uFFFD\uFFFD");
  EXPECT_EQ(platform::utf8_to_utf16("a\xFF"
                                    "b"),
            u"a\uFFFDb");
  // Overlong forms and encoded surrogates are never decoded as the code they pretend to be.
  const std::u16string overlong = platform::utf8_to_utf16("\xC0\xAF");
  EXPECT_EQ(overlong.find(u'/'), std::u16string::npos);
  EXPECT_NE(overlong.find(u'\uFFFD'), std::u16string::npos);
  const std::u16string surrogate = platform::utf8_to_utf16("\xED\xA0\x80");
  EXPECT_EQ(surrogate.find(u'\xD800'), std::u16string::npos);
  EXPECT_NE(surrogate.find(u'\uFFFD'), std::u16string::npos);
  // A sequence cut short is replaced, and what follows it survives.
  const std::u16string cut = platform::utf8_to_utf16("\xE2\x82z");
  EXPECT_EQ(cut.back(), u'z');
  EXPECT_NE(cut.find(u'\uFFFD'), std::u16string::npos);
}

TEST(Conversion, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(platform::utf16_to_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(platform::utf16_to_utf8(u"a" + std::u16string(1, char16_t(0xDC00)) + u"b"),
            "a\xEF\xBF\xBD"
            "b");
  // A high surrogate followed by a non-surrogate is lone too.
  EXPECT_EQ(platform::utf16_to_utf8(std::u16string{char16_t(0xD83D), u'x'}), "\xEF\xBF\xBDx");
}

class KnownFolder : public testing::Test {};

TEST_F(KnownFolder, RoamingApplicationDataIsNeverEmpty) {
  const std::u16string folder = known_folder_path(platform::roaming_app_data_folder);
  EXPECT_FALSE(folder.empty());
}

TEST_F(KnownFolder, AnUnknownFolderFailsWithTheMessage) {
  // No such folder exists on any platform.
  const platform::KnownFolderId nowhere{0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
  try {
    known_folder_path(nowhere);
    FAIL() << "an unknown folder was found";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "Windows didn't say where this user's folders are.");
  }
}

}  // namespace
