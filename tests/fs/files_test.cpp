#include "fs/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/users.h"
#include "support/file_setups.h"
#include "support/sandbox.h"

namespace {

const bool windows = platform::path_separator == u'\\';

bool is_file(const std::u16string& path) {
  platform::File file;
  return file.open(path, platform::File::Mode::read_shared);
}

// Something that exists and cannot be opened as a file (neither platform opens folders so).
bool is_folder(const std::u16string& path) {
  return platform::path_exists(path) && !is_file(path);
}

// ---------------------------------------------------------------------------------------------
// make_folders

TEST(MakeFolders, CreatesTheWholeChain) {
  Sandbox sandbox;
  EXPECT_TRUE(make_folders(sandbox.path(u"a/b/c")));
  EXPECT_TRUE(is_folder(sandbox.path(u"a")));
  EXPECT_TRUE(is_folder(sandbox.path(u"a/b")));
  EXPECT_TRUE(is_folder(sandbox.path(u"a/b/c")));
}

TEST(MakeFolders, AcceptsATrailingSeparatorAndNonAsciiNames) {
  Sandbox sandbox;
  const std::u16string folder = sandbox.path(u"caf\u00E9/\U0001F600");
  EXPECT_TRUE(make_folders(folder + platform::path_separator));
  EXPECT_TRUE(is_folder(folder));
}

TEST(MakeFolders, LeavesWhatAlreadyExistsAlone) {
  Sandbox sandbox;
  ASSERT_TRUE(make_folders(sandbox.path(u"a")));
  put_file(sandbox.path(u"a/x"), "content");
  EXPECT_TRUE(make_folders(sandbox.path(u"a")));
  EXPECT_EQ(file_content(sandbox.path(u"a/x")), "content");

  // A file where a folder is wanted is not examined; the caller's next step fails instead.
  put_file(sandbox.path(u"file"), "kept");
  EXPECT_TRUE(make_folders(sandbox.path(u"file")));
  EXPECT_TRUE(is_file(sandbox.path(u"file")));
  EXPECT_EQ(file_content(sandbox.path(u"file")), "kept");
  EXPECT_FALSE(write_whole_file(sandbox.path(u"file/inside"), "x"));

  EXPECT_TRUE(make_folders(u""));
}

// The failure names the parent that could not be made, never the child, which is not tried.
TEST(MakeFolders, NamesTheFolderThatCouldNotBeMade) {
  Sandbox sandbox;
  put_file(sandbox.path(u"file"), "kept");
  const std::u16string under_a_file = sandbox.path(u"file/a");
  const std::u16string too_long = sandbox.path(std::u16string(300, u'n'));
  for (const auto& [path, parent] : {std::pair{sandbox.path(u"file/a/b"), under_a_file},
                                     std::pair{join_path(too_long, u"child"), too_long}}) {
    FileError error;
    error.code = 12345;
    EXPECT_FALSE(make_folders(path, &error));
    EXPECT_EQ(error.path, parent);
    EXPECT_EQ(folder_not_made_message(error.path),
              "Couldn't make the folder " + platform::utf16_to_utf8(parent) + ".");
    EXPECT_NE(error.code, 0u);
    EXPECT_NE(error.code, 12345u);
    EXPECT_EQ(error.line(), "Create folder " + platform::utf16_to_utf8(parent) + " failed (error " +
                                std::to_string(error.code) + ")");
  }
  EXPECT_EQ(file_content(sandbox.path(u"file")), "kept");
}

// ---------------------------------------------------------------------------------------------
// write_whole_file

TEST(WriteWholeFile, CreatesAndTruncates) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"f.bin");
  const std::string binary("a\0b\r\n\xFF", 6);
  EXPECT_TRUE(write_whole_file(path, binary));
  EXPECT_EQ(file_content(path), binary);
  EXPECT_TRUE(write_whole_file(path, "xy"));
  EXPECT_EQ(file_content(path), "xy");
}

TEST(WriteWholeFile, EmptyContentMakesAnEmptyFile) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"empty");
  EXPECT_TRUE(write_whole_file(path, ""));
  EXPECT_TRUE(is_file(path));
  std::string buffer = "old";
  EXPECT_TRUE(read_whole_file(path, buffer));
  EXPECT_EQ(buffer, "");
}

TEST(WriteWholeFile, RefusedWhileAnotherHolderHasTheFile) {
  Sandbox sandbox;
  const ObservedPauses pauses;
  const std::u16string path = sandbox.path(u"held");
  put_file(path, "old content");
  for (const Hold hold : {Hold::exclusive, Hold::read_without_delete_sharing}) {
    HeldFile held(path, hold);
    ASSERT_TRUE(held.held()) << held.why();
    EXPECT_FALSE(write_whole_file(path, "new"));
    held.release();
    EXPECT_EQ(file_content(path), "old content");
  }
}

// A scanner or indexer holds a fresh file for a moment: the write waits it out in pauses that
// start short and double, up to about five seconds in all, and then fails, leaving the old
// file whole and saying why. (Windows refuses a writer while a reader holds the file; POSIX
// refuses one while the file runs as a program.)
TEST(WriteWholeFile, WaitsOutAHoldOfAboutFiveSecondsAtMost) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"held");
  const Hold hold = windows ? Hold::read_without_delete_sharing : Hold::running_program;
  put_file(path, "old content");
  {
    ObservedPauses pauses;
    HeldFile held(path, hold);
    ASSERT_TRUE(held.held()) << held.why();
    pauses.release_after(1000, held);
    EXPECT_TRUE(write_whole_file(path, "new"));
    EXPECT_EQ(file_content(path), "new");
    EXPECT_EQ(pauses.pauses(), (std::vector<std::uint32_t>{50, 100, 200, 400, 800}));
  }
  put_file(path, "old content");
  ObservedPauses pauses;
  HeldFile held(path, hold);
  ASSERT_TRUE(held.held()) << held.why();
  const std::string old = file_content(path);
  FileError error;
  EXPECT_FALSE(write_whole_file(path, "new", &error));
  EXPECT_EQ(pauses.pauses(),
            (std::vector<std::uint32_t>{50, 100, 200, 400, 800, 1000, 1000, 1000, 450}));
  EXPECT_TRUE(platform::is_transient_file_error(error.code)) << error.code;
  EXPECT_EQ(error.line(), "Write " + platform::utf16_to_utf8(path) + " failed (error " +
                              std::to_string(error.code) + ")");
  held.release();
  EXPECT_EQ(file_content(path), old);
}

TEST(WriteWholeFile, FailsInAMissingFolder) {
  Sandbox sandbox;
  EXPECT_FALSE(write_whole_file(sandbox.path(u"missing/f"), "x"));
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"missing")));
}

TEST(WriteWholeFile, LeavesNoPartialFileAfterAFailedWrite) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"big");
  put_file(path, "old");
  FileSizeLimit limit(1 << 20);
  if (!limit.active()) GTEST_SKIP() << limit.why();
  EXPECT_FALSE(write_whole_file(path, std::string(limit.bytes() + 4096, 'x')));
  EXPECT_FALSE(platform::path_exists(path));
  // Under the limit the same call works.
  EXPECT_TRUE(write_whole_file(path, "small"));
  EXPECT_EQ(file_content(path), "small");
}

// ---------------------------------------------------------------------------------------------
// read_whole_file

TEST(ReadWholeFile, ReadsExactlyTheFile) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"f");
  const std::string content(70000, '\x7F');
  put_file(path, content);
  std::string buffer(100000, 'z');  // longer than the file: cut to its length
  EXPECT_TRUE(read_whole_file(path, buffer));
  EXPECT_EQ(buffer, content);
}

TEST(ReadWholeFile, MissingFileOrFolderLeavesTheBufferAlone) {
  Sandbox sandbox;
  std::string buffer = "untouched";
  EXPECT_FALSE(read_whole_file(sandbox.path(u"missing"), buffer));
  EXPECT_FALSE(read_whole_file(sandbox.root(), buffer));
  EXPECT_EQ(buffer, "untouched");
}

TEST(ReadWholeFile, RefusedWhileTheFileIsBeingWritten) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"f");
  put_file(path, "content");
  std::string buffer = "untouched";
  {
    HeldFile writer(path, Hold::exclusive);
    ASSERT_TRUE(writer.held()) << writer.why();
    EXPECT_FALSE(read_whole_file(path, buffer));
    EXPECT_EQ(buffer, "untouched");
  }
  // Other readers do not stand in the way.
  HeldFile reader(path, Hold::read_without_delete_sharing);
  ASSERT_TRUE(reader.held()) << reader.why();
  EXPECT_TRUE(read_whole_file(path, buffer));
  EXPECT_EQ(buffer, "content");
}

TEST(ReadWholeFile, RefusesOneGibibyteOrMore) {
  Sandbox sandbox;
  const std::u16string path = sandbox.path(u"huge");
  ASSERT_TRUE(make_file_of_size(path, 0x40000000));
  std::string buffer = "untouched";
  EXPECT_FALSE(read_whole_file(path, buffer));
  EXPECT_EQ(buffer, "untouched");
  ASSERT_TRUE(make_file_of_size(path, 0x100000000));
  EXPECT_FALSE(read_whole_file(path, buffer));
  EXPECT_EQ(buffer, "untouched");
}

// ---------------------------------------------------------------------------------------------
// remove_tree

// A folder outside the tree under test, with content that must survive.
std::u16string make_outside(const Sandbox& sandbox) {
  EXPECT_TRUE(make_folders(sandbox.path(u"outside/sub")));
  put_file(sandbox.path(u"outside/keep.txt"), "keep");
  put_file(sandbox.path(u"outside/sub/deep.txt"), "deep");
  make_read_only(sandbox.path(u"outside/keep.txt"));
  return sandbox.path(u"outside");
}

void expect_outside_untouched(const Sandbox& sandbox) {
  EXPECT_EQ(file_content(sandbox.path(u"outside/keep.txt")), "keep");
  EXPECT_EQ(file_content(sandbox.path(u"outside/sub/deep.txt")), "deep");
  // Resetting attributes stopped at the link: the target's own stay as they were.
  EXPECT_TRUE(is_read_only(sandbox.path(u"outside/keep.txt")));
}

TEST(RemoveTree, MissingPathCountsAsRemoved) {
  Sandbox sandbox;
  EXPECT_TRUE(remove_tree(sandbox.path(u"missing")));
  EXPECT_TRUE(remove_tree(sandbox.path(u"missing/deeper")));
}

TEST(RemoveTree, RemovesNestedFoldersAndReadOnlyHiddenSystemFiles) {
  Sandbox sandbox;
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/a/b")));
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/empty")));
  put_file(sandbox.path(u"tree/top.txt"), "1");
  put_file(sandbox.path(u"tree/a/b/deep.bin"), "2");
  put_file(sandbox.path(u"tree/a/.hidden"), "3");
  for (const char16_t* entry : {u"tree/top.txt", u"tree/a/b/deep.bin", u"tree/a/.hidden"}) {
    ASSERT_TRUE(make_read_only(sandbox.path(entry)));
    ASSERT_TRUE(is_read_only(sandbox.path(entry)));
  }
  // A read-only folder inside the tree is reset before it is entered.
  ASSERT_TRUE(make_read_only(sandbox.path(u"tree/a/b")));
  EXPECT_TRUE(remove_tree(sandbox.path(u"tree")));
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree")));
}

TEST(RemoveTree, AFileIsNotAFolderTree) {
  Sandbox sandbox;
  put_file(sandbox.path(u"file"), "kept");
  EXPECT_FALSE(remove_tree(sandbox.path(u"file")));
  EXPECT_EQ(file_content(sandbox.path(u"file")), "kept");
}

// The security property: a link inside the tree is removed as a link; the folder it points to
// is never entered, so nothing outside the tree is deleted or changed.
TEST(RemoveTree, RemovesALinkToAFolderOutsideWithoutEnteringIt) {
  Sandbox sandbox;
  const std::u16string outside = make_outside(sandbox);
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/inner")));
  put_file(sandbox.path(u"tree/inner/own.txt"), "own");
  const FolderLink link = make_folder_link(sandbox.path(u"tree/inner/link"), outside);
  if (!link.made) GTEST_SKIP() << "A link to a folder is needed, but " << link.why << ".";
  const bool removed = remove_tree(sandbox.path(u"tree"));
  expect_outside_untouched(sandbox);
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree/inner/own.txt")));
  if (!link.removable) {
    remove_link(sandbox.path(u"tree/inner/link"));
    GTEST_SKIP() << "The link was not entered and the folder outside is intact, but " << link.why
                 << ", so its removal (result " << removed << ") is not verified here.";
  }
  EXPECT_TRUE(removed);
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree")));
}

TEST(RemoveTree, APathThatIsALinkLosesOnlyTheLink) {
  Sandbox sandbox;
  const std::u16string outside = make_outside(sandbox);
  const FolderLink link = make_folder_link(sandbox.path(u"link"), outside);
  if (!link.made) GTEST_SKIP() << "A link to a folder is needed, but " << link.why << ".";
  const bool removed = remove_tree(sandbox.path(u"link"));
  expect_outside_untouched(sandbox);
  if (!link.removable) {
    remove_link(sandbox.path(u"link"));
    GTEST_SKIP() << "The link was not entered and the folder outside is intact, but " << link.why
                 << ", so its removal (result " << removed << ") is not verified here.";
  }
  EXPECT_TRUE(removed);
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"link")));
}

TEST(RemoveTree, RemovesFileLinksAndDanglingLinksAsLinks) {
  Sandbox sandbox;
  make_outside(sandbox);
  ASSERT_TRUE(make_folders(sandbox.path(u"tree")));
  std::string why =
      make_file_link(sandbox.path(u"tree/file-link"), sandbox.path(u"outside/keep.txt"));
  if (why.empty()) why = make_file_link(sandbox.path(u"tree/dangling"), sandbox.path(u"gone"));
  if (!why.empty()) {
    GTEST_SKIP() << "Symbolic links to files are needed, but " << why
                 << "; Wine shows a Unix symbolic link to a file as the file itself, so none "
                    "can stand in.";
  }
  EXPECT_TRUE(remove_tree(sandbox.path(u"tree")));
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree")));
  expect_outside_untouched(sandbox);
}

TEST(RemoveTree, AFileHeldWithoutDeleteSharingStays) {
  Sandbox sandbox;
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/sub")));
  put_file(sandbox.path(u"tree/sub/held.txt"), "held");
  put_file(sandbox.path(u"tree/sub/free.txt"), "free");
  put_file(sandbox.path(u"tree/other.txt"), "other");
  HeldFile held(sandbox.path(u"tree/sub/held.txt"), Hold::read_without_delete_sharing);
  ASSERT_TRUE(held.held()) << held.why();
  const ObservedPauses pauses;
  if (windows) {
    EXPECT_FALSE(remove_tree(sandbox.path(u"tree")));
    // Only what resisted stays, with the folders that hold it.
    EXPECT_EQ(file_content(sandbox.path(u"tree/sub/held.txt")), "held");
    EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree/sub/free.txt")));
    EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree/other.txt")));
    held.release();
    EXPECT_TRUE(remove_tree(sandbox.path(u"tree")));
  } else {
    // POSIX never refuses to delete an open file: its holder keeps reading the old data.
    EXPECT_TRUE(remove_tree(sandbox.path(u"tree")));
  }
  EXPECT_FALSE(platform::path_exists(sandbox.path(u"tree")));
}

// Another program that swaps the folder `folder` for a link to `outside`, and back, over and over
// while it lives (it parks the real folder at `folder` + "-real" meanwhile).
class LinkSwapper {
 public:
  LinkSwapper(std::u16string folder, std::u16string outside)
      : folder_(std::move(folder)), outside_(std::move(outside)), swapper_([this] { run(); }) {}
  LinkSwapper(const LinkSwapper&) = delete;
  LinkSwapper& operator=(const LinkSwapper&) = delete;
  ~LinkSwapper() {
    done_ = true;
    swapper_.join();
  }

  // Empty when links can be made and removed as quickly as the swapper needs, else why not.
  static std::string why_not(const Sandbox& sandbox) {
    const FolderLink probe = make_folder_link(sandbox.path(u"probe"), sandbox.root());
    if (!probe.made || !probe.removable) return probe.why;
    remove_link(sandbox.path(u"probe"));
    return {};
  }

 private:
  void run() {
    const std::u16string real = folder_ + u"-real";
    while (!done_) {
      if (!platform::move_file_replacing(folder_, real, false)) continue;
      make_folder_link(folder_, outside_);
      remove_link(folder_);
      static_cast<void>(platform::move_file_replacing(real, folder_, false));
    }
  }

  const std::u16string folder_;
  const std::u16string outside_;
  std::atomic<bool> done_{false};
  std::thread swapper_;
};

// Another program swaps a folder of the tree for a link to a folder outside, and back, over and
// over while the tree is removed: whenever the removal looks, the folder may be a link. Nothing
// outside may ever go. (A removal by path lost thousands of the outside files this way.)
TEST(RemoveTree, AFolderSwappedForALinkMeanwhileLeadsNowhereOutside) {
  constexpr int trials = 200;
  constexpr int files = 250;
  Sandbox sandbox;
  const std::string why = LinkSwapper::why_not(sandbox);
  if (!why.empty()) GTEST_SKIP() << "Links made and removed quickly are needed, but " << why;
  ASSERT_TRUE(make_folders(sandbox.path(u"outside")));
  for (int i = 0; i < files; ++i) put_file(sandbox.path(u"outside/" + decimal(i)), "keep");
  const std::u16string sub = sandbox.path(u"tree/sub");

  for (int trial = 0; trial < trials; ++trial) {
    ASSERT_TRUE(make_folders(sub));
    for (int i = 0; i < files; ++i) put_file(join_path(sub, decimal(i)), "tree");
    {
      const LinkSwapper swapper(sub, sandbox.path(u"outside"));
      static_cast<void>(remove_tree(sandbox.path(u"tree")));
    }
    std::vector<std::u16string> names;
    platform::FolderListing listing;
    if (listing.open(sandbox.path(u"outside"), u"*")) {
      platform::FolderEntry entry;
      while (listing.next(entry)) names.push_back(entry.name);
    }
    ASSERT_EQ(names.size(), std::size_t{files}) << "files outside deleted in trial " << trial;
    if (platform::is_link(sub)) remove_link(sub);
    ASSERT_TRUE(remove_tree(sandbox.path(u"tree")));
  }
}

// The same race while a folder is filled: a folder on a file's way that is swapped for a link
// to a folder outside must never receive the file (a placement by path would follow the link
// about one time in four).
TEST(PlaceFileBelow, AFolderSwappedForALinkMeanwhileNeverReceivesTheFile) {
  constexpr int trials = 200;
  Sandbox sandbox;
  const std::string why = LinkSwapper::why_not(sandbox);
  if (!why.empty()) GTEST_SKIP() << "Links made and removed quickly are needed, but " << why;
  ASSERT_TRUE(make_folders(sandbox.path(u"outside")));
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/js")));
  platform::OpenFolder tree;
  ASSERT_TRUE(tree.open(sandbox.path(u"tree")));
  int placed = 0;
  {
    const LinkSwapper swapper(sandbox.path(u"tree/js"), sandbox.path(u"outside"));
    for (int trial = 0; trial < trials; ++trial) {
      put_file(sandbox.path(u"download"), "new");
      const PlaceResult result =
          place_file_below(tree, sandbox.path(u"tree"), join_path(u"js", u"main.js"),
                           sandbox.path(u"download"), /*flush=*/true);
      if (result == PlaceResult::placed) ++placed;
    }
  }
  platform::FolderListing listing;
  platform::FolderEntry went;
  EXPECT_FALSE(listing.open(sandbox.path(u"outside"), u"*") && listing.next(went))
      << "a file went outside";
  EXPECT_GT(placed, 0);
}

// A panel file is staged in the run folder of whoever runs Setup and moved into the signed-in
// user's folder: it must end with the access list that folder gives new files. Windows records
// the entries as inherited, as a file made there has them. Wine keeps no access lists (it shows
// Unix permission bits as one, and no inheritance): there the moved file shows the folder's
// entries for files in place of the ones it was staged with.
TEST(PlaceFileBelow, AMovedFileTakesTheAccessListItsFolderGivesNewFiles) {
  Sandbox sandbox;
  const std::string own = platform::utf16_to_utf8(platform::session_user().own_sid);
  const std::u16string user = sandbox.path(u"user"), staged = sandbox.path(u"panel.js");
  ASSERT_TRUE(make_folders(user));
  put_file(staged, "panel");
  const auto entries = [&](const std::string& flags) {
    return "(A;" + flags + ";FA;;;SY)(A;" + flags + ";FA;;;" + own + ")(A;" + flags +
           ";0x1200a9;;;WD)";
  };
  const std::string why = set_access_list(user, "D:P" + entries("OICI"));
  if (!why.empty()) GTEST_SKIP() << "Access lists are needed, but " << why;
  ASSERT_EQ(set_access_list(staged, "D:P(A;;FA;;;" + own + ")(A;;FA;;;WD)"), "");
  platform::OpenFolder folder;
  ASSERT_TRUE(folder.open(user));
  ASSERT_EQ(place_file_below(folder, user, u"panel.js", staged, /*flush=*/false),
            PlaceResult::placed);
  put_file(join_path(user, u"made.js"), "made");
  const std::string made = access_list(join_path(user, u"made.js"));
  const bool inherits = made.find(";ID;") != std::string::npos;
  EXPECT_EQ(access_list(join_path(user, u"panel.js")), inherits ? made : "D:" + entries(""));
}

TEST(RemoveTree, AFolderThatForbidsDeletionReportsFalse) {
  Sandbox sandbox;
  ASSERT_TRUE(make_folders(sandbox.path(u"tree/locked")));
  put_file(sandbox.path(u"tree/locked/file"), "x");
  ASSERT_TRUE(make_read_only(sandbox.path(u"tree")));
  const std::string why = read_only_folders_are_enforced(sandbox.path(u"tree"));
  if (!why.empty()) GTEST_SKIP() << "A folder that refuses deletions is needed, but " << why << ".";
  // The tree's own folder is not reset, so what is directly inside it cannot go.
  EXPECT_FALSE(remove_tree(sandbox.path(u"tree")));
  EXPECT_TRUE(platform::path_exists(sandbox.path(u"tree")));
  platform::reset_attributes(sandbox.path(u"tree"));
}

}  // namespace
