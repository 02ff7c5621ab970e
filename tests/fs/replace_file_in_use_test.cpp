#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
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

bool replaced(const std::u16string& target, const std::string& content,
              FileError* error = nullptr) {
  return replace_file_in_use(target, content, error) == SwitchResult::done;
}

TEST(ReplaceFileInUse, MakesTheFolderChainAndWritesTheFile) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"a/b/Corvalis.acsrf");
  EXPECT_TRUE(replaced(target, "new"));
  EXPECT_EQ(file_content(target), "new");
}

TEST(ReplaceFileInUse, ReplacesAFileNobodyHoldsWithoutALeftover) {
  Sandbox sandbox;
  const std::u16string target = sandbox.path(u"plug-ins/x.prm");
  ASSERT_TRUE(make_folders(sandbox.path(u"plug-ins")));
  put_file(target, "old content, longer than the new");
  EXPECT_TRUE(replaced(target, "new"));
  EXPECT_EQ(file_content(target), "new");
  EXPECT_EQ(entries_in(sandbox.path(u"plug-ins")), std::vector<std::u16string>{u"x.prm"});
}

TEST(ReplaceFileInUse, AFolderThatCannotBeMadeIsFalseNotAFailure) {
  Sandbox sandbox;
  put_file(sandbox.path(u"file"), "kept");
  bool result = true;
  EXPECT_NO_THROW(result = replaced(sandbox.path(u"file/sub/x.prm"), "new"));
  EXPECT_FALSE(result);
  EXPECT_EQ(file_content(sandbox.path(u"file")), "kept");
}

// What runs cut short leave beside a plug-in, and what the next replacement of that plug-in makes
// of it before its own work: a copy set aside goes back only on its record's evidence that a
// switch was cut between its renames; everything else of the target's goes, whatever it held;
// other files, and other targets' copies, stay.
TEST(ReplaceFileInUse, ClearsWhatRunsCutShortLeftBesideItsTargetByTheRecords) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::u16string, std::string>> beside;  // "" as a name: the target
    std::string target_after_clear;                              // "" for none
  };
  const std::vector<Case> cases = {
      {"cut between the renames",
       {{u"x.prm.5.corvalis-switch", "x.prm\n"}, {u"x.prm.5.corvalis-old", "old"}},
       "old"},
      {"a copy aside without a record: the place was emptied some other way",
       {{u"x.prm.5000.corvalis-old", "stray"}},
       ""},
      {"a remnant on its way out, with the record of another switch",
       {{u"x.prm.7.corvalis-switch", "x.prm\n"}, {u"x.prm.7.removed.corvalis-old", "half"}},
       ""},
      {"cut after the new copy went in",
       {{u"", "new"}, {u"x.prm.5.corvalis-switch", "x.prm\n"}, {u"x.prm.5.corvalis-old", "old"}},
       "new"},
      {"a record from before a reboot beside a copy of a later switch",
       {{u"x.prm.9.corvalis-switch", "x.prm\n"}, {u"x.prm.12.corvalis-old", "later"}},
       ""},
      {"new copies and records of switches that never set anything aside",
       {{u"", "kept"}, {u"x.prm.5.corvalis-new", "n"}, {u"x.prm.6.corvalis-switch", ""}},
       "kept"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    const std::u16string folder = sandbox.path(u"p");
    ASSERT_TRUE(make_folders(folder));
    for (const auto& [name, content] : c.beside) {
      put_file(join_path(folder, name.empty() ? u"x.prm" : name), content);
    }
    put_file(join_path(folder, u"y.prm.5.corvalis-old"), "another target's");
    put_file(join_path(folder, u"keep.corvalis-old.txt"), "keep");
    clear_beside_file(join_path(folder, u"x.prm"));
    std::vector<std::u16string> expected = {u"keep.corvalis-old.txt", u"y.prm.5.corvalis-old"};
    if (!c.target_after_clear.empty()) {
      EXPECT_EQ(file_content(join_path(folder, u"x.prm")), c.target_after_clear);
      expected.push_back(u"x.prm");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries_in(folder), expected);

    // The replacement itself clears the same way first, and leaves only its target.
    EXPECT_TRUE(replaced(join_path(folder, u"x.prm"), "newest"));
    EXPECT_EQ(file_content(join_path(folder, u"x.prm")), "newest");
    EXPECT_EQ(entries_in(folder, u"x.prm*"), std::vector<std::u16string>{u"x.prm"});
  }
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
      EXPECT_FALSE(replaced(target, "new", &error));
      EXPECT_EQ(pauses.total(), 5000u);
      // The replacing rename that was tried for the whole wait, onto the target.
      EXPECT_EQ(error.step.substr(0, 7), "Rename ");
      EXPECT_TRUE(error.step.ends_with(" to " + platform::utf16_to_utf8(target))) << error.step;
      held.release();
      EXPECT_EQ(file_content(target), "old");
      EXPECT_EQ(entries_in(sandbox.path(u"p")), std::vector<std::u16string>{u"x.prm"});

      // A holder that lets go within the wait: the target is replaced.
      HeldFile brief(target, hold);
      ASSERT_TRUE(brief.held()) << brief.why();
      pauses.release_after(pauses.total() + 1000, brief);
      EXPECT_TRUE(replaced(target, "new"));
      EXPECT_EQ(file_content(target), "new");
      put_file(target, "old");
    } else {
      EXPECT_TRUE(replaced(target, "new"));
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
  EXPECT_FALSE(replaced(target, "new"));
  platform::reset_attributes(sandbox.path(u"p"));
  EXPECT_EQ(file_content(target), "old");
}

// The case the operation exists for: a plug-in loaded by a running program. Windows refuses
// to replace or delete a mapped program image but lets it be renamed, so it goes aside and then
// to its removal name, and a later replacement deletes it once the program has let it go.
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

  ObservedPauses pauses;
  const std::uint64_t before = platform::tick_count();
  EXPECT_TRUE(replaced(target, "new plug-in"));
  const std::uint64_t after = platform::tick_count();
  EXPECT_EQ(file_content(target), "new plug-in");
  // The replacing rename was tried for the whole wait before the old image went aside.
  EXPECT_EQ(pauses.total(), 5000u);

  // It went aside and, still loaded, could be renamed out of reach of any put-back but not
  // deleted: "Corvalis_Importer.prm." + tick count + ".removed.corvalis-old", beside the target.
  const std::vector<std::u16string> leftovers = leftovers_in(folder);
  ASSERT_EQ(leftovers.size(), 1u);
  const std::u16string prefix = u"Corvalis_Importer.prm.";
  const std::u16string suffix = u".removed.corvalis-old";
  const std::u16string& name = leftovers[0];
  ASSERT_EQ(name.substr(0, prefix.size()), prefix);
  ASSERT_TRUE(name.ends_with(suffix));
  const std::u16string ticks =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  ASSERT_FALSE(ticks.empty());
  ASSERT_TRUE(
      std::all_of(ticks.begin(), ticks.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }));
  const std::uint64_t tick = std::stoull(std::string(ticks.begin(), ticks.end()));
  EXPECT_GE(tick, before);
  EXPECT_LE(tick, after);
  EXPECT_EQ(file_content(join_path(folder, name)), old_image);
  EXPECT_TRUE(entries_in(folder, u"*.corvalis-switch").empty());

  // Still loaded: the next replacement cannot delete it and leaves it be.
  EXPECT_TRUE(replaced(target, "newer plug-in"));
  EXPECT_EQ(leftovers_in(folder), leftovers);

  // Let go: the next replacement deletes it.
  loaded.release();
  EXPECT_TRUE(replaced(target, "newest plug-in"));
  EXPECT_TRUE(leftovers_in(folder).empty());
  EXPECT_EQ(file_content(target), "newest plug-in");
}

}  // namespace
