#pragma once

// Premiere Pro's control-surface settings document (ControlSurfaceSettings.xml), and the edit
// that switches the command bridge on in it.
//
// The document is never parsed as XML: it is a UTF-8 byte string (its byte-order mark already
// removed) edited by exact, case-sensitive searches and insertions at byte offsets. Everything
// the edit does not insert comes back byte for byte: other plug-ins' entries, attributes,
// whitespace, CR LF line ends, non-ASCII text. Inserted lines end in a bare line feed.
//
// A section is the pair whose key is "<key>" + name + "</key>", found at the first occurrence of
// that text, followed (after whitespace only) by the "<prop.list>" that holds its members. A
// section written in any other form (a self-closing list, a list tag with attributes or inner
// spaces, anything but whitespace between the key and its list, a nested list tag the edit does
// not recognise) makes the document one that doesn't make sense: the edit never guesses where
// such a section ends, so it never places an entry outside the section it names.

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
// section: the identifier under the next "PluginID<n>" key of ActivePluginIDs (n counts the
// numbered keys already in the document), the plug-in file (its path, UTF-8, escaped) with the
// identifier and the display name in PluginList, and an empty settings list in
// PluginSettingsList. Missing sections are created first.
// Throws Failure("Premiere's control surface settings didn't make sense.") when a section
// cannot be located or closed.
std::string add_command_bridge(std::string_view document, std::string_view plugin_path);

// The document with `entry` inserted directly before the "</prop.list>" that closes the list of
// section `section_key`, so that it becomes the section's last member. A missing section is
// created first, empty, directly before the document's last "</prop.list>".
// Throws Failure("Premiere's control surface settings didn't make sense.") when there is no
// "</prop.list>" to create the section before, when the section's list is not in the form
// above, or when the closing tags run out before the section's list is closed.
std::string insert_into_section(std::string_view document, std::string_view section_key,
                                std::string_view entry);

// The text with & < > " ' replaced by their entities; every other byte is copied as it is.
std::string xml_escape(std::string_view text);
