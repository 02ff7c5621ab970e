// The form every path takes on its way into the Windows file calls. Wine holds no path to
// MAX_PATH, so the tests of the file layer cannot tell a missing prefix from a present one; and
// they never meet a UNC path.

#include <windows.h>
// windows.h first: the platform layer's Windows helpers rely on it.
#include <gtest/gtest.h>

#include "platform/support_win.h"
#include "platform/text.h"

namespace {

TEST(LongPath, AbsolutePathsGetThePrefixThatLiftsMaxPath) {
  const struct {
    std::u16string path, expected;
  } cases[] = {
      {u"C:\\Program Files\\Adobe", u"\\\\?\\C:\\Program Files\\Adobe"},
      {u"z:/tmp/x", u"\\\\?\\z:\\tmp\\x"},
      {u"C:\\", u"\\\\?\\C:\\"},
      {u"\\\\server\\share\\folder\\file", u"\\\\?\\UNC\\server\\share\\folder\\file"},
      {u"//server/share/file", u"\\\\?\\UNC\\server\\share\\file"},
      // Already in a form the file calls take as it is.
      {u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
      {u"\\\\?\\UNC\\server\\share", u"\\\\?\\UNC\\server\\share"},
      {u"\\\\.\\pipe\\name", u"\\\\.\\pipe\\name"},
      // Not absolute: the prefix would change what they name.
      {u"relative\\file", u"relative\\file"},
      {u"C:relative", u"C:relative"},
      {u"\\rooted", u"\\rooted"},
      {u"", u""},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(platform::long_path(test.path), test.expected) << platform::utf16_to_utf8(test.path);
  }
  // A path far beyond MAX_PATH keeps every unit.
  const std::u16string deep = u"C:\\" + std::u16string(400, u'a');
  EXPECT_EQ(platform::long_path(deep), u"\\\\?\\" + deep);
}

}  // namespace
