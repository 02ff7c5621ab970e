#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "install/user_folders.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/users.h"
#include "support/sandbox.h"

namespace {

bool by_name(const platform::RegistryValue& a, const platform::RegistryValue& b) {
  return a.name < b.name;
}

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

TEST(TemporaryFolder, FollowsTheEnvironment) {
  Sandbox sandbox;
  std::u16string folder = platform::temp_folder();
  if (!folder.empty() && folder.back() == platform::path_separator) folder.pop_back();
  EXPECT_EQ(folder, sandbox.temp());
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

// Under Wine this runs the Windows calls for real, with no desktop shell: the session's user, that
// account's SID, this process's token, and the folders that user's registry names.
TEST(SessionUser, IsThisProcesssUserAndTheRegistryNamesTheFoldersWindowsGivesThem) {
  const platform::SessionUser user = platform::session_user();
  EXPECT_TRUE(user.session.succeeded && user.lookup.succeeded && user.own.succeeded);
  EXPECT_FALSE(user.name.empty() || user.sid.empty());
  EXPECT_EQ(user.sid, user.own_sid);
  EXPECT_NE(user.session_id, platform::services_session);
  EXPECT_FALSE(runs_in_services_session());
  EXPECT_EQ(find_user_folders().session, user.session_id);
  if (platform::path_separator == u'/') GTEST_SKIP() << "POSIX keeps no registry of folders";
  // Read as another account would read them, they name the roaming folder Windows gives the user.
  UserFacts facts{user, platform::user_folder_values(user.sid), {}};
  facts.session.own_sid = u"S-1-5-18";
  const UserFolders folders = decide_user_folders(facts);
  EXPECT_EQ(folders.notes, std::vector<std::string>{});
  EXPECT_EQ(folders.roaming_folder, platform::known_folder(platform::roaming_app_data_folder));
  EXPECT_FALSE(folders.temp_folder.empty());
  EXPECT_EQ(platform::user_folder_values(u"S-1-5-21-1-2-3-4").profile.error, 2u);  // not found
}

// The calls a run as SYSTEM in the services' session makes, made here for real. Only SYSTEM may
// ask for a session's user (Windows tells anyone else ERROR_PRIVILEGE_NOT_HELD); Wine lets
// everyone ask and answers this process's own user for any session, and lists no session at all.
TEST(SignedInUsers, TheConsoleAndTheActiveSessionsAnswerForReal) {
  const platform::SignedInUsers users = platform::signed_in_users();
  ASSERT_NE(users.console_session, platform::no_session);
  EXPECT_TRUE(users.console.succeeded ? users.console_sid == platform::session_user().own_sid
                                      : users.console.error == 1314u);
  std::vector<std::uint32_t> active{platform::no_session};
  ASSERT_TRUE(platform::active_session_ids(active).succeeded);
  EXPECT_EQ(std::count_if(active.begin(), active.end(),
                          [](std::uint32_t session) {
                            return session == platform::no_session ||
                                   session == platform::services_session;
                          }),
            0);
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

TEST(ProgramPath, IsTheFullPathOfThisTestProgramsOwnFile) {
  const std::u16string path = platform::program_path();
  const std::u16string name = path.substr(path.find_last_of(u"/\\") + 1);
  EXPECT_TRUE(name == u"corvalis-tests" || name == u"corvalis-tests.exe")
      << platform::utf16_to_utf8(path);
  const bool absolute = path.starts_with(u"/") || (path.size() > 2 && path.substr(1, 2) == u":\\");
  EXPECT_TRUE(absolute) << platform::utf16_to_utf8(path);
  EXPECT_TRUE(platform::path_exists(path));
}

// The list of this process's session holds this program; that of another session does not.
TEST(Processes, TheListOfThisSessionIncludesThisProgramAndNoOtherSessionsDoes) {
  std::uint32_t session = 0;
  ASSERT_TRUE(platform::this_process_session(session).succeeded);
  for (const std::uint32_t listed : {session, session + 1, platform::services_session}) {
    std::vector<std::u16string> names;
    ASSERT_TRUE(platform::running_process_names(names, listed));
    bool found = false;
    for (const std::u16string& name : names) {
      found = found || name.find(u"corvalis-tests") != std::u16string::npos;
    }
    EXPECT_EQ(found, listed == session) << "session " << listed;
  }
}

// A key of the machine written, read back, changed and deleted: on Windows in the registry's
// 64-bit view (under Wine, where anyone may write HKEY_LOCAL_MACHINE), on POSIX in its stand-in.
TEST(Registry, AKeyIsWrittenReadChangedAndDeletedWhole) {
  Sandbox sandbox;
  const platform::RegistryKey key{
      u"SOFTWARE\\CorvalisTests\\" +
          platform::utf8_to_utf16(std::to_string(platform::current_process_id())) + u"\\Entry",
      sandbox.path(u"entry")};
  std::uint32_t error = 0;
  bool existed = true;
  ASSERT_TRUE(platform::delete_registry_key(key, existed, error)) << error;
  EXPECT_FALSE(existed);
  std::vector<platform::RegistryValue> values;
  EXPECT_FALSE(platform::read_registry_values(key, values, error));
  EXPECT_NE(error, 0u);

  const std::vector<platform::RegistryValue> written = {
      {u"DisplayName", u"Corvalis for Premiere Pro", {}},
      {u"Tabs\tand\nlines", u"C:\\Program Files\\\"quoted\"\tü", {}},
      {u"Number", {}, 0xFFFFFFFEu}};
  ASSERT_TRUE(platform::write_registry_values(key, written, error)) << error;
  ASSERT_TRUE(platform::read_registry_values(key, values, error)) << error;
  EXPECT_EQ(std::set(values.begin(), values.end(), by_name),
            std::set(written.begin(), written.end(), by_name));

  // A second write replaces the values it names and keeps the others.
  ASSERT_TRUE(platform::write_registry_values(key, {{u"Number", {}, 7}}, error)) << error;
  ASSERT_TRUE(platform::read_registry_values(key, values, error)) << error;
  std::vector<platform::RegistryValue> changed = written;
  changed[2].number = 7;
  EXPECT_EQ(std::set(values.begin(), values.end(), by_name),
            std::set(changed.begin(), changed.end(), by_name));

  ASSERT_TRUE(platform::delete_registry_key(key, existed, error)) << error;
  EXPECT_TRUE(existed);
  EXPECT_FALSE(platform::read_registry_values(key, values, error));
}

}  // namespace
