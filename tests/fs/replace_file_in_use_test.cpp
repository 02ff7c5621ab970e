#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/files.h"
#include "fs/paths.h"
#include "platform/platform.h"
#include "support/file_setups.h"
#include "support/sandbox.h"

namespace {

const bool windows = platform::path_separator == u'\\';

std::vector<std::u16string> entries_in(const std::u16string& folder,
                                       std::u16string_view pattern = u"*") {
  std::vector<std::u16string> names;
  platform::FolderListing listing;
  if (listing.open(folder, pattern)) {
    platform::FolderEntry entry;
    while (listing.next(entry)) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::u16string> leftovers_in(const std::u16string& folder) {
  return entries_in(folder, u"*.corvalis-old");
}

TEST(ReplaceFileInUse, MakesTheFolderChainAndWritesTheFile) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"a/b/Corvalis.acsrf");
  EXPECT_TRUE(replace_file_in_use(target, "new"));
  EXPECT_EQ(file_content(target), "new");
}

TEST(ReplaceFileInUse, ReplacesAFileNobodyHoldsWithoutALeftover) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"plug-ins/x.prm");
  ASSERT_TRUE(make_folders(sandbox.path(u"plug-ins")));
  put_file(target, "old content, longer than the new");
  EXPECT_TRUE(replace_file_in_use(target, "new"));
  EXPECT_EQ(file_content(target), "new");
  EXPECT_EQ(entries_in(sandbox.path(u"plug-ins")), std::vector<std::u16string>{u"x.prm"});
}

TEST(ReplaceFileInUse, AFolderThatCannotBeMadeIsFalseNotAFailure) {
  Sandbox sandbox;
  put_file(sandbox.path(u"file"), "kept");
  bool result = true;
  EXPECT_NO_THROW(result = replace_file_in_use(sandbox.path(u"file/sub/x.prm"), "new"));
  EXPECT_FALSE(result);
  EXPECT_EQ(file_content(sandbox.path(u"file")), "kept");
}

// A leftover that has become free goes at the next call for any file in its folder, even when
// that call then fails for its own target; files that only look similar stay.
TEST(ReplaceFileInUse, DeletesFreeLeftoversEvenWhenItsOwnTargetFails) {
  Sandbox sandbox;
  ASSERT_TRUE(make_folders(sandbox.path(u"p")));
  put_file(sandbox.path(u"p/x.dll.123.corvalis-old"), "old");
  put_file(sandbox.path(u"p/.y.dll.9.corvalis-old"), "old");
  put_file(sandbox.path(u"p/keep.corvalis-old.txt"), "keep");
  put_file(sandbox.path(u"p/keep.txt"), "keep");
  // No file system takes a name this long, so the write fails after the clean-up.
  EXPECT_FALSE(replace_file_in_use(sandbox.path(u"p/" + std::u16string(300, u'n')), "new"));
  EXPECT_TRUE(leftovers_in(sandbox.path(u"p")).empty());
  EXPECT_EQ(file_content(sandbox.path(u"p/keep.corvalis-old.txt")), "keep");
  EXPECT_EQ(file_content(sandbox.path(u"p/keep.txt")), "keep");
}

// Windows refuses to delete a file that another program holds open without delete sharing,
// and to rename it: the replacement waits about five seconds for the holder to let go, and the
// old file must stay whole when it does not. POSIX renames open files (their holders keep the
// old data), so there the replacement simply happens.
TEST(ReplaceFileInUse, ATargetHeldWithoutDeleteSharing) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"p/x.prm");
  ASSERT_TRUE(make_folders(sandbox.path(u"p")));
  put_file(target, "old");
  for (const Hold hold : {Hold::exclusive, Hold::read_without_delete_sharing}) {
    ObservedPauses pauses;
    HeldFile held(target, hold);
    ASSERT_TRUE(held.held()) << held.why();
    if (windows) {
      FileError error;
      EXPECT_FALSE(replace_file_in_use(target, "new", &error));
      EXPECT_EQ(pauses.total(), 5000u);
      EXPECT_EQ(error.step.substr(0, 7), "Rename ");
      EXPECT_EQ(error.path, target);
      held.release();
      EXPECT_EQ(file_content(target), "old");
      EXPECT_EQ(entries_in(sandbox.path(u"p")), std::vector<std::u16string>{u"x.prm"});

      // A holder that lets go within the wait: the target is replaced.
      HeldFile brief(target, hold);
      ASSERT_TRUE(brief.held()) << brief.why();
      pauses.release_after(pauses.total() + 1000, brief);
      EXPECT_TRUE(replace_file_in_use(target, "new"));
      EXPECT_EQ(file_content(target), "new");
      put_file(target, "old");
    } else {
      EXPECT_TRUE(replace_file_in_use(target, "new"));
      held.release();
      EXPECT_EQ(file_content(target), "new");
      put_file(target, "old");
    }
    EXPECT_TRUE(leftovers_in(sandbox.path(u"p")).empty());
  }
}

TEST(ReplaceFileInUse, ATargetInAFolderThatForbidsChangesKeepsItsContent) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"p/x.prm");
  ASSERT_TRUE(make_folders(sandbox.path(u"p")));
  put_file(target, "old");
  ASSERT_TRUE(make_read_only(sandbox.path(u"p")));
  const std::string why = read_only_folders_are_enforced(sandbox.path(u"p"));
  platform::reset_attributes(sandbox.path(u"p"));
  if (!why.empty()) GTEST_SKIP() << "A folder that refuses deletions is needed, but " << why << ".";
  ASSERT_TRUE(make_read_only(sandbox.path(u"p")));
  EXPECT_FALSE(replace_file_in_use(target, "new"));
  platform::reset_attributes(sandbox.path(u"p"));
  EXPECT_EQ(file_content(target), "old");
}

// The case the operation exists for: a plug-in loaded by a running program. Windows refuses
// to delete a mapped program image but lets it be renamed, so it goes aside under a leftover
// name, and the next call for that folder deletes it once the program has let it go.
TEST(ReplaceFileInUse, ALoadedPlugInIsRenamedAsideAndCleanedUpLater) {
  Sandbox sandbox;
  const std::u16string folder = sandbox.path(u"plug-ins");
  const std::u16string target = join_path(folder, u"Corvalis_Importer.prm");
  ASSERT_TRUE(make_folders(folder));
  const std::string why = copy_program_image(target);
  if (!why.empty())
    GTEST_SKIP() << why << " "
                 << "Only Windows holds a loaded image this way.";
  const std::string old_image = file_content(target);
  ASSERT_FALSE(old_image.empty());

  HeldFile loaded(target, Hold::loaded_image);
  ASSERT_TRUE(loaded.held()) << loaded.why();
  ASSERT_FALSE(platform::delete_file(target)) << "the loaded image should resist deletion";

  const std::uint64_t before = platform::tick_count();
  EXPECT_TRUE(replace_file_in_use(target, "new plug-in"));
  const std::uint64_t after = platform::tick_count();
  EXPECT_EQ(file_content(target), "new plug-in");

  // "Corvalis_Importer.prm." + tick count + ".corvalis-old", beside the target.
  const std::vector<std::u16string> leftovers = leftovers_in(folder);
  ASSERT_EQ(leftovers.size(), 1u);
  const std::u16string prefix = u"Corvalis_Importer.prm.";
  const std::u16string& name = leftovers[0];
  ASSERT_EQ(name.substr(0, prefix.size()), prefix);
  const std::u16string ticks = name.substr(prefix.size(), name.size() - prefix.size() - 13);
  ASSERT_FALSE(ticks.empty());
  ASSERT_TRUE(
      std::all_of(ticks.begin(), ticks.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }));
  ASSERT_NE(ticks[0], u'0');
  const std::uint64_t tick = std::stoull(std::string(ticks.begin(), ticks.end()));
  EXPECT_GE(tick, before);
  EXPECT_LE(tick, after);
  EXPECT_EQ(file_content(join_path(folder, name)), old_image);

  // Still loaded: a call for another file in the folder cannot delete it and leaves it be.
  EXPECT_TRUE(replace_file_in_use(join_path(folder, u"Corvalis.acsrf"), "other"));
  EXPECT_EQ(leftovers_in(folder), leftovers);

  // Let go: the next call for any file in the folder deletes it.
  loaded.release();
  EXPECT_TRUE(replace_file_in_use(join_path(folder, u"Corvalis.acsrf"), "other again"));
  EXPECT_TRUE(leftovers_in(folder).empty());
  EXPECT_EQ(file_content(target), "new plug-in");
}

}  // namespace
