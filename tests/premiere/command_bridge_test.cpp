#include "premiere/command_bridge.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "failure.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "premiere/plugin_folders.h"
#include "premiere/settings_document.h"
#include "support/file_setups.h"
#include "support/sandbox.h"
#include "support/scoped_variable.h"

namespace {

const std::string cannot_switch = "Couldn't switch the command bridge on in Premiere's settings.";
const std::string senseless = "Premiere's control surface settings didn't make sense.";

template <typename Call>
std::string failure_of(Call call) {
  try {
    call();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "";
}

// A settings root with version folders in a sandbox.
class SettingsRoot {
 public:
  SettingsRoot() : root_(sandbox_.path(u"Roaming/Adobe/Premiere Pro")) {}

  const std::u16string& root() const { return root_; }
  std::u16string path(std::u16string_view relative) const {
    return sandbox_.path(u"Roaming/Adobe/Premiere Pro/" + std::u16string(relative));
  }
  std::u16string document(std::u16string_view version) const {
    return path(std::u16string(version) + u"/ControlSurface/ControlSurfaceSettings.xml");
  }
  void make(std::u16string_view relative) const { EXPECT_TRUE(make_folders(path(relative))); }
  void put_document(std::u16string_view version, std::string_view content) const {
    make(std::u16string(version) + u"/ControlSurface");
    put_file(document(version), content);
  }
  // Names in the folder, whatever they are.
  std::vector<std::u16string> entries(std::u16string_view relative) const {
    std::vector<std::u16string> names;
    platform::FolderListing listing;
    platform::FolderEntry entry;
    if (listing.open(path(relative), u"*")) {
      while (listing.next(entry)) names.push_back(entry.name);
    }
    return names;
  }

 private:
  Sandbox sandbox_;
  std::u16string root_;
};

// Every entry below `folder`, with each file's content: a tree to compare.
std::map<std::u16string, std::string> tree(const std::u16string& folder) {
  std::map<std::u16string, std::string> entries;
  platform::FolderListing listing;
  platform::FolderEntry entry;
  for (bool open = listing.open(folder, u"*"); open && listing.next(entry);) {
    const std::u16string path = join_path(folder, entry.name);
    entries[path] = entry.is_folder ? "" : file_content(path);
    if (entry.is_folder) entries.merge(tree(path));
  }
  return entries;
}

std::string edited_template() {
  return add_command_bridge(settings_template,
                            platform::utf16_to_utf8(control_surface_plugin_path()));
}

TEST(SwitchCommandBridgeOn, MissingRootChangesNothing) {
  SettingsRoot settings;
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 0);
  EXPECT_FALSE(platform::path_exists(settings.root()));
}

TEST(SwitchCommandBridgeOn, VersionsWithoutDocumentsGetTheEditedTemplateOnce) {
  SettingsRoot settings;
  settings.make(u"24.0");
  settings.make(u"25.0");
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 2);
  for (const char16_t* version : {u"24.0", u"25.0"}) {
    EXPECT_EQ(file_content(settings.document(version)), edited_template());
    // Only the document is left in the folder: no new file lingers beside it.
    EXPECT_EQ(settings.entries(std::u16string(version) + u"/ControlSurface"),
              std::vector<std::u16string>{u"ControlSurfaceSettings.xml"});
  }
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 0);
  EXPECT_EQ(file_content(settings.document(u"24.0")), edited_template());
}

TEST(SwitchCommandBridgeOn, PassesOverWhatIsNoVersionFolder) {
  SettingsRoot settings;
  for (const char16_t* name :
       {u"Profile-x", u"24", u"24.0.1", u".5", u"5.", u"24.0 (old)", u"2a.0", u"..5", u"24..0"}) {
    settings.make(name);
  }
  settings.make(u"");
  put_file(settings.path(u"26.0"), "a file, not a folder");
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 0);
  EXPECT_EQ(settings.entries(u"24").size(), 0u);
  EXPECT_EQ(settings.entries(u"Profile-x").size(), 0u);
  EXPECT_EQ(file_content(settings.path(u"26.0")), "a file, not a folder");

  // The form counts, not the value.
  settings.make(u"0.0");
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  EXPECT_EQ(file_content(settings.document(u"0.0")), edited_template());
}

TEST(SwitchCommandBridgeOn, EditsExistingDocumentsAndLeavesSwitchedOnesAlone) {
  SettingsRoot settings;
  std::string crlf;
  for (const char c : settings_template)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  settings.put_document(u"23.1", crlf);
  settings.put_document(u"24.0", edited_template());
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  const std::string plugin = platform::utf16_to_utf8(control_surface_plugin_path());
  EXPECT_EQ(file_content(settings.document(u"23.1")), add_command_bridge(crlf, plugin));
  EXPECT_EQ(file_content(settings.document(u"24.0")), edited_template());
}

TEST(SwitchCommandBridgeOn, DropsTheByteOrderMarkOnlyFromRewrittenDocuments) {
  SettingsRoot settings;
  const std::string mark = "\xEF\xBB\xBF";
  settings.put_document(u"24.0", mark + std::string(settings_template));
  settings.put_document(u"25.0", mark + edited_template());
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  EXPECT_EQ(file_content(settings.document(u"24.0")), edited_template());
  EXPECT_EQ(file_content(settings.document(u"25.0")), mark + edited_template());
}

TEST(SwitchCommandBridgeOn, UsesTheControlSurfacePluginPath) {
  SettingsRoot settings;
  const std::u16string program_files = settings.path(u"Programme & Caf\u00E9");
  ScopedVariable set(u"ProgramFiles", program_files);
  settings.make(u"24.0");
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  const std::string document = file_content(settings.document(u"24.0"));
  EXPECT_NE(
      document.find("<key>" + xml_escape(platform::utf16_to_utf8(control_surface_plugin_path())) +
                    "</key>"),
      std::string::npos);
  EXPECT_NE(document.find("Programme &amp; Caf\xC3\xA9"), std::string::npos);
}

TEST(SwitchCommandBridgeOn, AFailingVersionKeepsTheOnesWrittenBeforeIt) {
  SettingsRoot settings;
  for (const char16_t* version : {u"20.0", u"21.0", u"22.0", u"23.0", u"24.0"}) {
    settings.make(version);
  }
  settings.put_document(u"22.0", "");  // an empty document is none the edit can handle
  EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), senseless);
  // The walk follows the platform's listing order: before 22.0 written, after it untouched.
  bool before = true;
  for (const std::u16string& version : settings.entries(u"")) {
    if (version == u"22.0") {
      before = false;
      EXPECT_EQ(file_content(settings.document(version)), "");
    } else if (before) {
      EXPECT_EQ(file_content(settings.document(version)), edited_template());
    } else {
      EXPECT_FALSE(platform::path_exists(settings.path(version + u"/ControlSurface")));
    }
  }
}

TEST(SwitchCommandBridgeOn, NeverReplacesADocumentItCannotRead) {
  SettingsRoot settings;
  settings.put_document(u"24.0", "<prop.list>\n</prop.list>\n");
  {
    HeldFile writer(settings.document(u"24.0"), Hold::exclusive);
    ASSERT_TRUE(writer.held()) << writer.why();
    EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
  }
  EXPECT_EQ(file_content(settings.document(u"24.0")), "<prop.list>\n</prop.list>\n");

  // A folder where the document belongs exists and cannot be read either.
  settings.make(u"25.0/ControlSurface/ControlSurfaceSettings.xml");
  EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
  EXPECT_TRUE(platform::path_exists(settings.document(u"25.0")));
}

TEST(SwitchCommandBridgeOn, AFailedWriteLeavesTheOldDocument) {
  SettingsRoot settings;
  FileSizeLimit limit(1 << 16);
  if (!limit.active()) GTEST_SKIP() << limit.why();
  // A document just under the limit, whose edited form is over it.
  std::string old(settings_template);
  old.insert(old.find("<prop.pair>"),
             "<!--" + std::string(limit.bytes() - old.size() - 100, 'x') + "-->");
  settings.put_document(u"24.0", old);
  EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
  EXPECT_EQ(file_content(settings.document(u"24.0")), old);
  EXPECT_EQ(settings.entries(u"24.0/ControlSurface"),
            std::vector<std::u16string>{u"ControlSurfaceSettings.xml"});
}

// A reader without delete sharing (a scanner, an indexer) is waited out for about five seconds:
// one that lets go within them does not stop the switch; one that does not fails it, with the
// rename and its error code in the log, and the old document stays whole.
TEST(SwitchCommandBridgeOn, ARefusedReplacementLeavesTheOldDocument) {
  if (platform::path_separator == u'/') {
    GTEST_SKIP() << "POSIX renames over an open file; a failed write is tested instead";
  }
  SettingsRoot settings;
  settings.put_document(u"24.0", std::string(settings_template));
  ObservedPauses pauses;
  {
    HeldFile reader(settings.document(u"24.0"), Hold::read_without_delete_sharing);
    ASSERT_TRUE(reader.held()) << reader.why();
    EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
    EXPECT_EQ(pauses.total(), 5000u);
  }
  EXPECT_EQ(file_content(settings.document(u"24.0")), settings_template);
  EXPECT_EQ(settings.entries(u"24.0/ControlSurface"),
            std::vector<std::u16string>{u"ControlSurfaceSettings.xml"});
  const std::string log = file_content(log_file_path());
  const std::string document = platform::utf16_to_utf8(settings.document(u"24.0"));
  // "Rename <document>.<tick>.corvalis-new to <document> failed (error N)", stamped, where N
  // is the holder's refusal (access denied, as Windows answers a move over an open file).
  const std::size_t rename = log.find(" Rename " + document + ".");
  ASSERT_NE(rename, std::string::npos) << log;
  const std::string ending = ".corvalis-new to " + document + " failed (error ";
  const std::size_t code = log.find(ending, rename);
  ASSERT_NE(code, std::string::npos) << log;
  const std::string rest = log.substr(code + ending.size());
  EXPECT_TRUE(platform::is_transient_file_error(std::stoul(rest))) << log;
  EXPECT_EQ(rest.substr(rest.find(')')), ")\r\n") << log;

  HeldFile reader(settings.document(u"24.0"), Hold::read_without_delete_sharing);
  ASSERT_TRUE(reader.held()) << reader.why();
  pauses.release_after(pauses.total() + 1000, reader);
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  EXPECT_EQ(file_content(settings.document(u"24.0")), edited_template());
  EXPECT_EQ(settings.entries(u"24.0/ControlSurface"),
            std::vector<std::u16string>{u"ControlSurfaceSettings.xml"});
}

TEST(SwitchCommandBridgeOn, AFileWhereTheFolderBelongsFails) {
  SettingsRoot settings;
  settings.make(u"24.0");
  put_file(settings.path(u"24.0/ControlSurface"), "not a folder");
  EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
  EXPECT_EQ(file_content(settings.path(u"24.0/ControlSurface")), "not a folder");
}

// Links in the user's settings folders lead nowhere: a version folder that is a link is passed
// over, and a ControlSurface folder that is one fails the edit; the folder they point to, which
// an elevated Setup could otherwise be led to write into, is never written.
TEST(SwitchCommandBridgeOn, NeverWritesThroughALink) {
  SettingsRoot settings;
  // Named like no version, the folder outside is passed over itself.
  const std::u16string outside = settings.path(u"outside");
  ASSERT_TRUE(make_folders(outside));
  settings.make(u"24.0");
  const FolderLink version = make_folder_link(settings.path(u"25.0"), outside);
  if (!version.made) GTEST_SKIP() << "A link to a folder is needed, but " << version.why << ".";
  EXPECT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  EXPECT_EQ(file_content(settings.document(u"24.0")), edited_template());

  settings.make(u"26.0");
  const FolderLink control_surface =
      make_folder_link(settings.path(u"26.0/ControlSurface"), outside);
  ASSERT_TRUE(control_surface.made);
  EXPECT_EQ(failure_of([&] { switch_command_bridge_on_under(settings.root()); }), cannot_switch);
  platform::FolderListing listing;
  platform::FolderEntry written;
  EXPECT_FALSE(listing.open(outside, u"*") && listing.next(written))
      << "written through a link: " << platform::utf16_to_utf8(written.name);
  remove_link(settings.path(u"25.0"));
  remove_link(settings.path(u"26.0/ControlSurface"));
}

TEST(SwitchCommandBridgeOn, FindsTheRootInTheRoamingFolderItIsGiven) {
  Sandbox sandbox;
  const std::u16string roaming = sandbox.path(u"Roaming");
  const std::u16string root = sandbox.path(u"Roaming/Adobe/Premiere Pro");
  EXPECT_EQ(premiere_settings_root(roaming), root);
  EXPECT_EQ(switch_command_bridge_on(roaming), 0);
  EXPECT_FALSE(platform::path_exists(roaming));
  ASSERT_TRUE(make_folders(join_path(root, u"24.0")));
  EXPECT_EQ(switch_command_bridge_on(roaming), 1);
  EXPECT_EQ(file_content(sandbox.path(
                u"Roaming/Adobe/Premiere Pro/24.0/ControlSurface/ControlSurfaceSettings.xml")),
            edited_template());
}

// Off after on: version folders without a ControlSurface folder, a CR LF document listing
// another control surface, one with a byte-order mark (which stays off), a folder of other files.
TEST(SwitchCommandBridgeOff, GivesBackTheSettingsAsTheyWereBeforeTheSwitchOn) {
  SettingsRoot settings;
  std::string other(settings_template);
  other.insert(other.find("</prop.list>"),
               "<prop.pair>\n<key>PluginID0</key>\n<ustring>com.other</ustring>\n</prop.pair>\n");
  std::string crlf;
  for (const char c : other) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  settings.make(u"24.0");
  settings.make(u"25.0");
  settings.put_document(u"23.1", crlf);
  settings.put_document(u"26.0", "\xEF\xBB\xBF" + other);
  settings.make(u"22.0/ControlSurface");
  put_file(settings.path(u"22.0/ControlSurface/notes.txt"), "the user's");
  auto before = tree(settings.root());
  ASSERT_EQ(switch_command_bridge_on_under(settings.root()), 5);
  EXPECT_EQ(switch_command_bridge_off_under(settings.root()), 5);
  before[settings.document(u"26.0")] = other;
  EXPECT_EQ(tree(settings.root()), before);
  EXPECT_EQ(switch_command_bridge_off_under(settings.root()), 0);
}

TEST(SwitchCommandBridgeOff, LeavesChangedDocumentsAndFailsOnUnreadableOnes) {
  SettingsRoot settings;
  settings.make(u"24.0");
  ASSERT_EQ(switch_command_bridge_on_under(settings.root()), 1);
  std::string changed = edited_template();
  changed.replace(changed.find("PluginID0"), 9, "PluginID3");
  put_file(settings.document(u"24.0"), changed);
  EXPECT_EQ(switch_command_bridge_off_under(settings.root()), 0);
  EXPECT_EQ(file_content(settings.document(u"24.0")), changed);
  const std::string document = platform::utf16_to_utf8(settings.document(u"24.0"));
  EXPECT_NE(file_content(log_file_path())
                .find(" Left the command bridge on in " + document +
                      ": its entries were changed since Setup added them\r\n"),
            std::string::npos);

  HeldFile writer(settings.document(u"24.0"), Hold::exclusive);
  ASSERT_TRUE(writer.held()) << writer.why();
  EXPECT_EQ(failure_of([&] { switch_command_bridge_off_under(settings.root()); }),
            "Couldn't switch the command bridge off in Premiere's settings.");
  EXPECT_NE(file_content(log_file_path()).find(" Read " + document + " failed (error "),
            std::string::npos);
}

}  // namespace
