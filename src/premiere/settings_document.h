#pragma once

// Premiere Pro's control-surface settings document (ControlSurfaceSettings.xml), the edit that
// switches the command bridge on in it, and the edit's reverse.
//
// The document is never parsed as XML: it is a UTF-8 byte string (its byte-order mark already
// removed) edited by exact, case-sensitive searches and insertions at byte offsets. Everything
// the edit does not insert comes back byte for byte: other plug-ins' entries, attributes,
// whitespace, CR LF line ends, non-ASCII text. Inserted lines end in a bare line feed.
//
// A section is the pair whose key is "<key>" + name + "</key>", found at the first occurrence of
// that text, and the first "<prop.list>" after it holds its members. Its end is found by counting
// "<prop.list>" and "</prop.list>"; "<prop.list/>" is an empty list and counts neither way. The
// edit never guesses: it refuses a document in which that list might not be the section's own
// (between the key and the list the key's pair closes, or another pair, key or list tag begins)
// or the count might stop at the wrong tag (a list tag written any other way on the way, such as
// "<prop.list a='1'>" or "</prop.list >"). So it never places an entry outside the section it
// names. Anything else between the key and its list (whitespace, comments, text) is left alone.

#include <string>
#include <string_view>

// The command bridge's plug-in identifier, written unescaped.
inline constexpr std::string_view command_bridge_id = "com.corvalisplugin.commands";

// The name Premiere Pro shows for the command bridge.
inline constexpr std::string_view command_bridge_name = "Corvalis Command Bridge";

// The document that stands in for a missing one: 24 lines of ASCII, each ended by a line feed,
// no byte-order mark, the three sections empty.
inline constexpr std::string_view settings_template =
    "<?xml version='1.0'?>\n"
    "<prop.map version='4'>\n"
    "<prop.list>\n"
    "<prop.pair>\n"
    "<key>ActivePluginIDs</key>\n"
    "<prop.list>\n"
    "</prop.list>\n"
    "</prop.pair>\n"
    "<prop.pair>\n"
    "<key>PluginList</key>\n"
    "<prop.list>\n"
    "</prop.list>\n"
    "</prop.pair>\n"
    "<prop.pair>\n"
    "<key>PluginSettingsList</key>\n"
    "<prop.list>\n"
    "</prop.list>\n"
    "</prop.pair>\n"
    "<prop.pair>\n"
    "<key>SettingsVersion</key>\n"
    "<int type='unsigned' size='32'>1</int>\n"
    "</prop.pair>\n"
    "</prop.list>\n"
    "</prop.map>\n";

// The document with the command bridge known and active. When the document already holds
// "<ustring>com.corvalisplugin.commands</ustring>" anywhere, it comes back unchanged, so a second
// edit is the identity. Otherwise three entries are inserted, each as the last member of its
// section: the identifier under a new "PluginID<n>" key of ActivePluginIDs (n counts the
// numbered keys already in the document or, when a key already has that number, is the smallest
// larger number no key has), the plug-in file (its path, UTF-8, escaped) with the
// identifier and the display name in PluginList, and an empty settings list in
// PluginSettingsList. Missing sections are created first.
// Throws Failure("Premiere's control surface settings didn't make sense.") when a section
// cannot be located or closed.
std::string add_command_bridge(std::string_view document, std::string_view plugin_path);

// What taking the command bridge out of a document came to.
struct CommandBridgeRemoval {
  enum class Outcome {
    // Neither "<ustring>com.corvalisplugin.commands</ustring>" nor a settings list under the
    // identifier is anywhere in it: nothing to take out.
    not_there,
    // `document` is the document before the edit: the entries the edit adds are out, and a section
    // it added, where that can be told.
    removed,
    // As `removed`, and what is left is exactly the settings template: the edit made the document
    // from nothing.
    only_template_left,
    // The command bridge is in it, but not as the edit left it (an entry changed, moved,
    // renumbered, or followed in its section by another member): the document stays as it is.
    changed_since,
  };
  Outcome outcome;
  std::string document;  // for `removed` and `only_template_left`
};

// The reverse of `add_command_bridge` with the same plug-in path: the document that edit turned
// into `document`, when it can be told exactly. Each of the three entries must stand as the last
// member of its section, byte for byte as the edit writes it (bare line feeds, the path escaped,
// the "PluginID<n>" key numbered as the edit would number it in what remains); the answer is
// proved by editing it again, which must give `document` back. Everything else comes back as it
// is: other plug-ins' entries and their numbering, CR LF line ends, the text around the entries.
// A section the edit added because it was missing goes too only where the document tells so:
// one the edit added behind all the others could as well have been there, empty, before, and it
// stays. Never throws Failure: a document the edit could not have written is `changed_since`.
CommandBridgeRemoval remove_command_bridge(std::string_view document, std::string_view plugin_path);

// The document with `entry` inserted directly before the "</prop.list>" that closes the list of
// section `section_key`, so that it becomes the section's last member. A missing section is
// created first, empty, directly before the document's last "</prop.list>".
// Throws Failure("Premiere's control surface settings didn't make sense.") when there is no
// "</prop.list>" to create the section before, when no "<prop.list>" follows the key, when the
// section's list is not one the edit can trust (above), or when the closing tags run out before
// the section's list is closed.
std::string insert_into_section(std::string_view document, std::string_view section_key,
                                std::string_view entry);

// The text with & < > " ' replaced by their entities; every other byte is copied as it is.
std::string xml_escape(std::string_view text);
