#pragma once

// Switching the command bridge on in the control-surface settings document of every Premiere Pro
// version that keeps settings for this user.

#include <string>

// The folder that holds one settings folder per Premiere Pro version: the user's roaming
// application-data folder joined with Adobe\Premiere Pro. Never fails.
std::u16string premiere_settings_root(const std::u16string& roaming_folder);

// `switch_command_bridge_on_under(premiere_settings_root(roaming_folder))`.
int switch_command_bridge_on(const std::u16string& roaming_folder);

// Brings ControlSurface\ControlSurfaceSettings.xml of each version folder under `settings_root`
// (a folder named digits, one dot, digits, such as "24.0") up to date with `add_command_bridge`,
// starting from the settings template where the document is missing. Returns how many documents
// it wrote; a document the edit leaves unchanged is neither written nor counted, so a second call
// returns 0. A missing root gives 0 and is not created.
//
// A document is replaced in one step (a new file beside it, moved over it), so whatever fails,
// the user's document is either the old one, byte for byte, or the new one. A leading UTF-8
// byte-order mark goes only when the document is rewritten.
//
// Versions are handled in the platform's listing order, and the first failure ends the walk; the
// documents written before it stay written. Throws:
// - Failure("Premiere's control surface settings didn't make sense.") for a document the edit
//   cannot handle (an empty one, one of another kind);
// - Failure("Couldn't make the folder <path>.") when the document's folder cannot be made;
// - Failure("Couldn't switch the command bridge on in Premiere's settings.") when a document that
//   exists cannot be read, or the new one cannot be written.
int switch_command_bridge_on_under(const std::u16string& settings_root);

// `switch_command_bridge_off_under(premiere_settings_root(roaming_folder))`.
int switch_command_bridge_off(const std::u16string& roaming_folder);

// Takes the command bridge out of ControlSurface\ControlSurfaceSettings.xml of each version
// folder under `settings_root` (the same folders `switch_command_bridge_on_under` enters) with
// `remove_command_bridge`. Returns how many documents it switched off. Per document:
// - without the command bridge, or missing: left alone, not counted;
// - with its entries as the on-switch wrote them: replaced in one step by the document without
//   them (a leading byte-order mark is not written back), and counted;
// - when what is left would be exactly the settings template, the on-switch made the document
//   from nothing: it is deleted, its ControlSurface folder too when that is left empty, and
//   counted;
// - with entries changed since: left as it is, and logged as
//   "Left the command bridge on in <document>: its entries were changed since Setup added them".
// A missing root gives 0. A ControlSurface folder that is no folder of its own (a file, a link)
// holds nothing of ours and is passed over. Another program's brief hold on a document is waited
// out.
//
// Versions are handled in the platform's listing order, and the first failure ends the walk; the
// documents switched off before it stay so. Throws
// Failure("Couldn't switch the command bridge off in Premiere's settings.") when a document
// that exists cannot be read, replaced or deleted, after logging what failed.
int switch_command_bridge_off_under(const std::u16string& settings_root);

// Removes the new documents and set-aside copies that replacements cut short left beside the
// settings document of each version folder under the settings root (version folders that are
// links are not entered). Nothing else is touched, and nothing is reported.
void remove_settings_leftovers(const std::u16string& roaming_folder);
void remove_settings_leftovers_under(const std::u16string& settings_root);
