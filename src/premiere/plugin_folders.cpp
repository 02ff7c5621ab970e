#include "premiere/plugin_folders.h"

#include <initializer_list>

#include "fs/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

// A Windows-style relative path built segment by segment, so that it carries the platform's
// separator wherever it is joined.
std::u16string join_segments(std::u16string base,
                             std::initializer_list<std::u16string_view> segments) {
  for (const std::u16string_view segment : segments) base = join_path(base, segment);
  return base;
}

}  // namespace

std::u16string environment_value(std::u16string_view name) {
  // Windows programs commonly read these into a buffer of 520 units, terminator included; a
  // value that would not fit reads as empty rather than cut short.
  std::u16string value = platform::environment_variable(name);
  if (value.size() >= 520) value.clear();
  return value;
}

std::vector<std::u16string> program_files_folders() {
  std::vector<std::u16string> folders;
  for (const char16_t* name : {u"ProgramFiles", u"ProgramW6432", u"ProgramFiles(x86)"}) {
    std::u16string value = environment_value(name);
    if (value.empty()) continue;
    bool known = false;
    for (const std::u16string& folder : folders)
      known = known || equal_ignoring_ascii_case(folder, value);
    if (!known) folders.push_back(std::move(value));
  }
  return folders;
}

std::u16string program_files_folder() {
  std::u16string base = environment_value(u"ProgramFiles");
  if (base.empty()) base = platform::default_program_files_folder;
  return base;
}

std::u16string control_surface_plugin_path() {
  return join_segments(program_files_folder(),
                       {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface", u"Corvalis.acsrf"});
}

std::vector<std::u16string> plugin_targets(std::string_view name) {
  if (name == "Corvalis.acsrf") return {control_surface_plugin_path()};
  const std::u16string file = platform::utf8_to_utf16(name);
  std::vector<std::u16string> targets;
  for (const std::u16string& folder : program_files_folders()) {
    targets.push_back(join_segments(
        folder, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore", u"Corvalis", file}));
    targets.push_back(join_segments(
        folder, {u"Common Files", u"Adobe", u"Plug-ins", u"7.0", u"MediaCore", u"Corvalis", file}));
  }
  return targets;
}
