#include "premiere/plugin_folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/text.h"
#include "support/scoped_variable.h"

namespace {

const bool windows = platform::path_separator == u'\\';

// A Windows path from the examples in the platform's form: backslashes become the separator, and
// on POSIX the drive goes ("C:\Program Files" stands for "/Program Files").
std::u16string native(std::u16string_view windows_path) {
  std::u16string path(windows_path);
  if (windows) return path;
  if (path.starts_with(u"C:")) path.erase(0, 2);
  for (char16_t& unit : path) {
    if (unit == u'\\') unit = u'/';
  }
  return path;
}

// The three variables set (or, null, removed) for one test.
struct ProgramFilesVariables {
  ProgramFilesVariables(const std::u16string* program_files, const std::u16string* w6432,
                        const std::u16string* x86)
      : a(u"ProgramFiles", program_files),
        b(u"ProgramW6432", w6432),
        c(u"ProgramFiles(x86)", x86) {}
  ScopedVariable a, b, c;
};

const std::u16string program_files = native(u"C:\\Program Files");
const std::u16string program_files_x86 = native(u"C:\\Program Files (x86)");

// The targets of the two host plug-in files with ProgramFiles and ProgramW6432 both
// C:\Program Files and ProgramFiles(x86) C:\Program Files (x86).
void expect_the_four_targets() {
  EXPECT_EQ(program_files_folders(), (std::vector{program_files, program_files_x86}));
  EXPECT_EQ(plugin_targets("Corvalis_Importer.prm"),
            (std::vector<std::u16string>{
                native(u"C:\\Program Files\\Adobe\\Common\\Plug-ins\\7.0\\MediaCore\\Corvalis\\"
                       u"Corvalis_Importer.prm"),
                native(u"C:\\Program Files\\Common Files\\Adobe\\Plug-ins\\7.0\\MediaCore\\"
                       u"Corvalis\\Corvalis_Importer.prm"),
                native(u"C:\\Program Files (x86)\\Adobe\\Common\\Plug-ins\\7.0\\MediaCore\\"
                       u"Corvalis\\Corvalis_Importer.prm"),
                native(u"C:\\Program Files (x86)\\Common Files\\Adobe\\Plug-ins\\7.0\\MediaCore\\"
                       u"Corvalis\\Corvalis_Importer.prm")}));
  const std::u16string control_surface =
      native(u"C:\\Program Files\\Adobe\\Common\\Plug-ins\\ControlSurface\\Corvalis.acsrf");
  EXPECT_EQ(control_surface_plugin_path(), control_surface);
  EXPECT_EQ(plugin_targets("Corvalis.acsrf"), std::vector{control_surface});
}

TEST(PluginFolders, FourTargetsUnderTwoProgramFilesFolders) {
  ProgramFilesVariables set(&program_files, &program_files, &program_files_x86);
  expect_the_four_targets();
}

TEST(PluginFolders, ReadsTheProcessEnvironmentAsWindowsSetsItUp) {
  // A 64-bit Windows (and Wine) starts every process with the two folders in the three
  // variables, as in the example above.
  if (!windows) GTEST_SKIP() << "only Windows sets these variables up";
  if (platform::environment_variable(u"ProgramFiles") != program_files) {
    GTEST_SKIP() << "Windows is not installed in C:";
  }
  expect_the_four_targets();
}

TEST(PluginFolders, RepeatsDifferOnlyInAsciiCase) {
  const std::u16string upper = native(u"C:\\PROGRAM FILES"), slash = program_files + u"\\",
                       accented = u"C:\\Program Fil\u00C9s",
                       accented_lower = u"C:\\Program Fil\u00E9s";
  {
    ProgramFilesVariables set(&program_files, &upper, nullptr);
    EXPECT_EQ(program_files_folders(), std::vector{program_files});
  }
  {
    // No normalisation: a trailing backslash makes another folder.
    ProgramFilesVariables set(&program_files, &slash, nullptr);
    EXPECT_EQ(program_files_folders(), (std::vector{program_files, slash}));
  }
  {
    // Case is ignored for ASCII letters only.
    ProgramFilesVariables set(&accented, &accented_lower, &accented);
    EXPECT_EQ(program_files_folders(), (std::vector{accented, accented_lower}));
  }
}

TEST(PluginFolders, UnsetProgramFilesFallsBackForTheControlSurfaceOnly) {
  ProgramFilesVariables set(nullptr, &program_files_x86, nullptr);
  EXPECT_EQ(control_surface_plugin_path(),
            std::u16string(platform::default_program_files_folder) +
                native(u"\\Adobe\\Common\\Plug-ins\\ControlSurface\\Corvalis.acsrf"));
  if (windows) {
    EXPECT_EQ(control_surface_plugin_path(),
              u"C:\\Program Files\\Adobe\\Common\\Plug-ins\\ControlSurface\\Corvalis.acsrf");
  }
  const std::vector<std::u16string> targets = plugin_targets("Corvalis_Importer.prm");
  ASSERT_EQ(targets.size(), 2u);
  for (const std::u16string& target : targets) EXPECT_TRUE(target.starts_with(program_files_x86));
}

TEST(PluginFolders, NoVariablesMeansNoMediaCoreTargets) {
  ProgramFilesVariables set(nullptr, nullptr, nullptr);
  EXPECT_EQ(program_files_folders(), std::vector<std::u16string>{});
  EXPECT_EQ(plugin_targets("Corvalis_Importer.prm"), std::vector<std::u16string>{});
  EXPECT_EQ(plugin_targets("Corvalis.acsrf").size(), 1u);
}

TEST(PluginFolders, OnlyTheExactControlSurfaceNameGoesToControlSurface) {
  ProgramFilesVariables set(&program_files, nullptr, nullptr);
  for (const char* name :
       {"corvalis.acsrf", "Corvalis.ACSRF", "Corvalis.acsrf ", "Caf\xC3\xA9.prm"}) {
    const std::vector<std::u16string> targets = plugin_targets(name);
    ASSERT_EQ(targets.size(), 2u) << name;
    EXPECT_TRUE(
        targets[0].ends_with(native(u"\\MediaCore\\Corvalis\\") + platform::utf8_to_utf16(name)));
  }
}

TEST(EnvironmentValue, ValuesOf520UnitsOrMoreReadAsEmpty) {
  const std::u16string longest(519, u'x'), too_long(520, u'x'), empty;
  // 518 letters and one character outside the BMP: 520 UTF-16 units.
  const std::u16string surrogates = std::u16string(518, u'x') + u"\U0001F600";
  {
    ScopedVariable set(u"CORVALIS_TEST_VARIABLE", longest);
    EXPECT_EQ(environment_value(u"CORVALIS_TEST_VARIABLE"), longest);
  }
  for (const std::u16string* value : {&too_long, &surrogates, &empty}) {
    ScopedVariable set(u"CORVALIS_TEST_VARIABLE", value);
    EXPECT_EQ(environment_value(u"CORVALIS_TEST_VARIABLE"), u"");
  }
  ScopedVariable unset(u"CORVALIS_TEST_VARIABLE", nullptr);
  EXPECT_EQ(environment_value(u"CORVALIS_TEST_VARIABLE"), u"");

  const std::u16string long_folder = u"C:\\" + std::u16string(516, u'p');
  ProgramFilesVariables set(&too_long, &long_folder, nullptr);
  EXPECT_EQ(program_files_folders(), std::vector{long_folder});
  EXPECT_TRUE(control_surface_plugin_path().starts_with(platform::default_program_files_folder));
}

}  // namespace
