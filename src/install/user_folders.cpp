#include "install/user_folders.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "failure.h"
#include "fs/paths.h"
#include "log/setup_log.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/users.h"

namespace {

bool is_absolute(std::u16string_view path) {
  if (platform::path_separator == u'/') return path.starts_with(u'/');
  const bool drive = path.size() >= 3 && path[1] == u':' && path[2] == u'\\' &&
                     ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  return drive || path.starts_with(u"\\\\");
}

// `value` with every %USERPROFILE% (in any letter case) replaced by `profile`, the user's own
// profile folder, never this process's. Empty when anything else in it looks like a variable
// (another user's environment is not ours to read) or the result is no absolute path.
std::u16string expand_user_folder(std::u16string_view value, std::u16string_view profile) {
  constexpr std::u16string_view variable = u"%USERPROFILE%";
  std::u16string expanded;
  while (!value.empty()) {
    const std::size_t percent = value.find(u'%');
    expanded.append(value.substr(0, percent));
    if (percent == std::u16string_view::npos) break;
    value.remove_prefix(percent);
    if (!equal_ignoring_ascii_case(value.substr(0, variable.size()), variable)) return {};
    expanded.append(profile);
    value.remove_prefix(variable.size());
  }
  return is_absolute(expanded) ? expanded : std::u16string();
}

std::string failed_call(const platform::CallOutcome& call) {
  return call.call + " " + call.subject + " failed (error " + std::to_string(call.error) + ")";
}

std::string unusable(const platform::CallOutcome& call, const std::u16string& value) {
  return "Can't use " + call.subject + ": " + platform::utf16_to_utf8(value);
}

// The decision ends with `message`, after `note`.
UserFolders fails(UserFolders user, std::string note, const char* message) {
  if (!note.empty()) user.notes.push_back(std::move(note));
  user.failure = message;
  return user;
}

// Another user's folders, from that user's profile folder and registry values.
UserFolders another_users_folders(const platform::UserFolderValues& values) {
  UserFolders user;
  user.another_user = true;
  if (!values.profile.succeeded) {
    return fails(user, failed_call(values.profile), user_folders_unknown_message);
  }
  const std::u16string& profile = values.profile_folder;
  if (profile.find(u'%') != std::u16string::npos || !is_absolute(profile)) {
    return fails(user, unusable(values.profile, profile), user_folders_unknown_message);
  }
  if (!values.roaming.succeeded) {
    return fails(user, failed_call(values.roaming), user_folders_unknown_message);
  }
  user.roaming_folder = expand_user_folder(values.roaming_folder, profile);
  if (user.roaming_folder.empty()) {
    return fails(user, unusable(values.roaming, values.roaming_folder),
                 user_folders_unknown_message);
  }
  // Without the user's temporary folder the log stays in Setup's own: it is no reason to fail.
  if (!values.temp.succeeded) {
    user.notes.push_back(failed_call(values.temp));
    return user;
  }
  user.temp_folder = expand_user_folder(values.temp_folder, profile);
  if (user.temp_folder.empty()) user.notes.push_back(unusable(values.temp, values.temp_folder));
  return user;
}

// The run's user: `sid` and the session it works in.
struct RunUser {
  std::u16string sid;
  std::uint32_t session = platform::no_session;
  UserFolders failed;  // the notes and message when there is no such user
};

RunUser no_run_user(std::string note, const char* message) {
  return {{}, platform::no_session, fails({}, std::move(note), message)};
}

// From the services' session, where nobody signs in, the run is for the user signed in to the
// machine. Installing for SYSTEM itself would put Corvalis where nobody uses it.
RunUser services_session_user(const UserFacts& facts) {
  const platform::SessionUser& session = facts.session;
  if (!session.own.succeeded) {
    return no_run_user(failed_call(session.own), user_folders_unknown_message);
  }
  // Only SYSTEM may ask a session for its user's token: a deployment tool's service account
  // cannot tell who is signed in.
  if (session.own_sid != platform::local_system_sid) {
    return no_run_user({}, system_without_user_message);
  }
  const platform::SignedInUsers& users = facts.signed_in;
  if (users.console_session != platform::no_session) {
    if (!users.console.succeeded) {
      return no_run_user(failed_call(users.console), user_folders_unknown_message);
    }
    if (!users.console_sid.empty()) return {users.console_sid, users.console_session, {}};
  }
  // Nobody at the console: the user of a Remote Desktop session, when only one is in use.
  if (!users.enumeration.succeeded) {
    return no_run_user(failed_call(users.enumeration), user_folders_unknown_message);
  }
  if (users.active_sessions.size() != 1) return no_run_user({}, system_without_user_message);
  if (!users.active.succeeded) {
    return no_run_user(failed_call(users.active), user_folders_unknown_message);
  }
  if (users.active_sid.empty()) return no_run_user({}, system_without_user_message);
  return {users.active_sid, users.active_sessions.front(), {}};
}

RunUser run_user(const UserFacts& facts) {
  const platform::SessionUser& session = facts.session;
  // A call that failed says nothing about who is signed in: it is never taken for nobody.
  if (!session.process_session.succeeded) {
    return no_run_user(failed_call(session.process_session), user_folders_unknown_message);
  }
  if (session.session_id == platform::services_session) return services_session_user(facts);
  if (!session.session.succeeded) {
    return no_run_user(failed_call(session.session), user_folders_unknown_message);
  }
  // Installing as the process's own user would put Corvalis where nobody uses it (the system
  // profile, an administrator's), and the run would report success.
  if (session.name.empty()) return no_run_user({}, no_signed_in_user_message);
  if (!session.lookup.succeeded) {
    return no_run_user(failed_call(session.lookup), user_folders_unknown_message);
  }
  if (!session.own.succeeded) {
    return no_run_user(failed_call(session.own), user_folders_unknown_message);
  }
  return {session.sid, session.session_id, {}};
}

// The facts about sessions; who is signed in to the machine is asked only by SYSTEM in the
// services' session, so that a run anywhere else makes no more calls than it needs.
UserFacts session_facts() {
  UserFacts facts{platform::session_user(), {}, {}};
  const platform::SessionUser& session = facts.session;
  if (session.process_session.succeeded && session.session_id == platform::services_session &&
      session.own.succeeded && session.own_sid == platform::local_system_sid) {
    facts.signed_in = platform::signed_in_users();
  }
  return facts;
}

}  // namespace

UserFacts user_facts() {
  UserFacts facts = session_facts();
  const RunUser user = run_user(facts);
  if (user.failed.failure.empty() && user.sid != facts.session.own_sid) {
    facts.folders = platform::user_folder_values(user.sid);
  }
  return facts;
}

UserFolders decide_user_folders(const UserFacts& facts) {
  const RunUser user = run_user(facts);
  if (!user.failed.failure.empty()) return user.failed;
  UserFolders folders =
      user.sid == facts.session.own_sid ? UserFolders{} : another_users_folders(facts.folders);
  folders.session = user.session;
  return folders;
}

bool runs_in_services_session() {
  std::uint32_t session = platform::no_session;
  return platform::this_process_session(session).succeeded && session == platform::services_session;
}

UserFolders find_user_folders() {
  UserFolders user = decide_user_folders(user_facts());
  platform::OpenFolder folder;
  if (!user.temp_folder.empty() && !folder.open(without_trailing_separator(user.temp_folder))) {
    const std::uint32_t error = platform::last_file_error();
    user.notes.push_back("Read " + platform::utf16_to_utf8(user.temp_folder) + " failed (error " +
                         std::to_string(error) + ")");
    user.temp_folder.clear();
  }
  return user;
}

std::u16string user_roaming_folder(const UserFolders& user) {
  for (const std::string& note : user.notes) log_line(note);
  if (!user.failure.empty()) throw Failure(user.failure);
  return user.another_user ? user.roaming_folder
                           : known_folder_path(platform::roaming_app_data_folder);
}

void require_usable_temp_folder() {
  const std::u16string temp = platform::temp_folder();
  platform::OpenFolder folder;
  if (!temp.empty() && folder.open(without_trailing_separator(temp))) return;
  const std::uint32_t error = platform::last_file_error();
  log_line(temp.empty() ? std::string("Windows reported no temporary folder")
                        : "Read " + platform::utf16_to_utf8(temp) + " failed (error " +
                              std::to_string(error) + ")");
  throw Failure(temp_folder_unusable_message);
}
