#include <gtest/gtest.h>

#include <vector>

#include "fs/paths.h"
#include "install/user_folders.h"
#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

// Sets a variable for one scope and puts the old value back afterwards.
class ScopedVariable {
 public:
  ScopedVariable(std::u16string name, const std::u16string* value)
      : name_(std::move(name)), saved_(platform::environment_variable(name_)) {
    platform::set_environment_variable_for_testing(name_, value ? *value : u"", value == nullptr);
  }
  ~ScopedVariable() {
    platform::set_environment_variable_for_testing(name_, saved_, saved_.empty());
  }

 private:
  std::u16string name_, saved_;
};

TEST(Environment, ReadsWhatWasSetAndNothingWhenUnset) {
  const std::u16string value = u"caf\u00E9 \U0001F600";
  {
    ScopedVariable set(u"CORVALIS_TEST_VARIABLE", &value);
    EXPECT_EQ(platform::environment_variable(u"CORVALIS_TEST_VARIABLE"), value);
  }
  EXPECT_EQ(platform::environment_variable(u"CORVALIS_TEST_VARIABLE"), u"");
}

TEST(Environment, LongValuesArriveWhole) {
  const std::u16string value(2000, u'x');
  ScopedVariable set(u"CORVALIS_TEST_VARIABLE", &value);
  EXPECT_EQ(platform::environment_variable(u"CORVALIS_TEST_VARIABLE"), value);
}

TEST(TemporaryFolder, FollowsTheEnvironmentAtAnyLength) {
  Sandbox sandbox;
  EXPECT_EQ(without_trailing_separator(platform::temp_folder()), sandbox.temp());
  // Beyond 260 characters it comes back whole or not at all (Wine's GetTempPathW refuses such a
  // path), never swapped for a folder of the system's that other users can write to.
  std::u16string deep = sandbox.temp();
  while (deep.size() < 300) deep = join_path(deep, std::u16string(60, u'd'));
  const ScopedVariable tmp(u"TMP", &deep), temp(u"TEMP", &deep), tmpdir(u"TMPDIR", &deep);
  const std::u16string folder = platform::temp_folder();
  if (platform::path_separator == u'/' || !folder.empty()) {
    EXPECT_EQ(without_trailing_separator(folder), deep);
  }
}

TEST(KnownFolders, PosixRoamingFolderComesFromAppDataThenXdgThenHome) {
  if (platform::path_separator != u'/') GTEST_SKIP() << "Windows asks the shell instead";
  const std::u16string appdata = u"/a/appdata", xdg = u"/x/config", home = u"/h/me", empty;
  {
    ScopedVariable a(u"APPDATA", &appdata), x(u"XDG_CONFIG_HOME", &xdg), h(u"HOME", &home);
    EXPECT_EQ(platform::known_folder(platform::roaming_app_data_folder), appdata);
  }
  {
    ScopedVariable a(u"APPDATA", &empty), x(u"XDG_CONFIG_HOME", &xdg), h(u"HOME", &home);
    EXPECT_EQ(platform::known_folder(platform::roaming_app_data_folder), xdg);
  }
  {
    ScopedVariable a(u"APPDATA", nullptr), x(u"XDG_CONFIG_HOME", nullptr), h(u"HOME", &home);
    EXPECT_EQ(platform::known_folder(platform::roaming_app_data_folder), u"/h/me/.config");
  }
  {
    ScopedVariable a(u"APPDATA", nullptr), x(u"XDG_CONFIG_HOME", nullptr), h(u"HOME", nullptr);
    EXPECT_EQ(platform::known_folder(platform::roaming_app_data_folder), u"");
  }
}

// Under Wine this runs the Windows calls for real, with no desktop shell: the session's user and
// domain, that account's SID, this process's token, and that user's folders in the registry.
TEST(SessionUser, IsThisProcesssUserAndTheRegistryNamesTheFoldersWindowsGivesThem) {
  const platform::SessionUser user = platform::session_user();
  for (const platform::CallOutcome* call : {&user.session, &user.lookup, &user.own}) {
    EXPECT_TRUE(call->succeeded) << call->call << " " << call->subject << ": " << call->error;
  }
  EXPECT_FALSE(user.name.empty());
  EXPECT_FALSE(user.sid.empty());
  EXPECT_EQ(user.sid, user.own_sid);
  if (platform::path_separator == u'/') GTEST_SKIP() << "POSIX keeps no registry of folders";
  // Read as another account would read them (SYSTEM's SID in place of ours), the values name
  // the roaming folder Windows gives the user itself.
  UserFacts facts{user, platform::user_folder_values(user.sid)};
  facts.session.own_sid = u"S-1-5-18";
  const UserFolders folders = decide_user_folders(facts);
  EXPECT_EQ(folders.notes, std::vector<std::string>{});
  EXPECT_EQ(folders.roaming_folder, platform::known_folder(platform::roaming_app_data_folder));
  EXPECT_FALSE(folders.temp_folder.empty());
  const platform::UserFolderValues nobody = platform::user_folder_values(u"S-1-5-21-1-2-3-4");
  EXPECT_FALSE(nobody.profile.succeeded);
  EXPECT_EQ(nobody.profile.call, "RegGetValueW");
  EXPECT_EQ(nobody.profile.error, 2u);  // ERROR_FILE_NOT_FOUND
}

std::vector<std::uint32_t> observed;
void record(std::uint32_t milliseconds) {
  observed.push_back(milliseconds);
}

TEST(Pause, AnObserverSeesPausesInsteadOfSleeping) {
  observed.clear();
  platform::observe_pauses_for_testing(record);
  const std::uint64_t before = platform::tick_count();
  platform::pause(1000);
  platform::pause(60000);
  const std::uint64_t after = platform::tick_count();
  platform::observe_pauses_for_testing(nullptr);
  EXPECT_EQ(observed, (std::vector<std::uint32_t>{1000, 60000}));
  EXPECT_LT(after - before, 30000u) << "an observed pause must not sleep";
}

TEST(LocalTime, IsAPlausibleCalendarTime) {
  const platform::LocalTime now = platform::local_time();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
  EXPECT_LE(now.hour, 23);
  EXPECT_LE(now.minute, 59);
  EXPECT_LE(now.second, 60);
}

TEST(Processes, TheListIncludesThisProgram) {
  std::vector<std::u16string> names;
  ASSERT_TRUE(platform::running_process_names(names));
  bool found = false;
  for (const std::u16string& name : names) {
    found = found || name.find(u"corvalis-tests") != std::u16string::npos;
  }
  EXPECT_TRUE(found);
}

}  // namespace
