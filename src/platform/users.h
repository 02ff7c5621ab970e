#pragma once

// The platform layer's users and sessions: who is signed in to this process's session or, from
// the services' session, to the machine; whose folders an install writes to; and where this
// process's user keeps temporary files.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS (see platform/text.h). Unless a function says otherwise, it never throws: failure is a
// `false` or an empty result.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The user's temporary folder, with its trailing separator; empty when the platform reports
// none. Windows: GetTempPath2W where Windows has it (SYSTEM then gets C:\Windows\SystemTemp, which
// other users cannot write to), else GetTempPathW, with a buffer as long as the path; never a
// folder of Windows' own choosing in its place. POSIX: $TMPDIR when set and not empty, else /tmp.
std::u16string temp_folder();

// A known-folder identifier, laid out like a Windows GUID.
struct KnownFolderId {
  std::uint32_t data1;
  std::uint16_t data2, data3;
  std::uint8_t data4[8];
};
// FOLDERID_RoamingAppData, {3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}.
inline constexpr KnownFolderId roaming_app_data_folder{
    0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
// The folder's path for the current user, empty when the platform cannot say. Windows:
// SHGetKnownFolderPath (its buffer released in every case). POSIX knows only the roaming
// folder: $APPDATA when set and not empty, else $XDG_CONFIG_HOME, else $HOME/.config.
std::u16string known_folder(const KnownFolderId& id);

// How one system call went: which call, what it was asked, and the system's error code when it
// failed. Nothing here is worded for the user; the caller logs it and chooses the message.
struct CallOutcome {
  std::string call;     // "LookupAccountNameW"; empty when the call was never made
  std::string subject;  // what it was asked: an account, a registry value
  bool succeeded = false;
  std::uint32_t error = 0;  // GetLastError, or the status a registry call returns
};

// Session 0, where services run, and with them SYSTEM when a deployment tool starts Setup:
// nobody signs in to it and nobody sees its desktop.
inline constexpr std::uint32_t services_session = 0;
// No session: what Windows answers while no session is attached to the console.
inline constexpr std::uint32_t no_session = 0xFFFFFFFF;
// LocalSystem's SID in its string form, the same on every Windows machine.
inline constexpr std::u16string_view local_system_sid = u"S-1-5-18";

// The session this process runs in. Windows: ProcessIdToSessionId. POSIX, where each user stands
// in for a session: the real user id plus one (so that no POSIX user is in the services'
// session), unless `set_session_user_for_testing` says otherwise.
CallOutcome this_process_session(std::uint32_t& session);

// The user signed in to this process's session, and this process's own user. Setup runs with
// administrator rights: a standard user who gives an administrator's credentials runs it as the
// administrator, so the user signed in is then another account than this process's.
struct SessionUser {
  // This process's session (this_process_session), asked first. In the services' session the
  // session's user is not asked (nobody signs in to it): only `own` is.
  CallOutcome process_session;
  std::uint32_t session_id = services_session;
  // The session's user name and domain. Windows: WTSQuerySessionInformationW for
  // WTS_CURRENT_SESSION, WTSUserName then WTSDomainName (wtsapi32, loaded from System32).
  CallOutcome session;
  std::u16string name;  // empty when the session has no user (the services' session)
  std::u16string domain;
  // The signed-in user's SID in its string form (LookupAccountNameW on domain\name, then
  // ConvertSidToStringSidW); not asked when the session has no user.
  CallOutcome lookup;
  std::u16string sid;
  // This process's user (OpenProcessToken, GetTokenInformation with TokenUser,
  // ConvertSidToStringSidW), in the same form.
  CallOutcome own;
  std::u16string own_sid;
};
// Windows: the calls above; each stops at its first failure, recorded in its outcome. No other
// account's token or process is opened. POSIX has one user per session: the stand-in answers
// that user for both, its user id as the SID, unless `set_session_user_for_testing` says otherwise.
SessionUser session_user();

// Who is signed in to the machine, asked from the services' session, where Setup runs as SYSTEM
// for deployment tools. Only SYSTEM may ask a session for its user's token (WTSQueryUserToken
// needs SeTcbPrivilege, which administrators do not hold).
struct SignedInUsers {
  // The session attached to the physical console (WTSGetActiveConsoleSessionId, which cannot
  // fail); `no_session` while none is, as during a switch between sessions.
  std::uint32_t console_session = no_session;
  // The console session's user: WTSQueryUserToken on it, then the token's user (GetTokenInformation
  // with TokenUser, ConvertSidToStringSidW), the token closed. Succeeds with an empty SID when
  // nobody is signed in there (ERROR_NO_TOKEN). Not asked without a console session.
  CallOutcome console;
  std::u16string console_sid;
  // The sessions in the WTSActive state (WTSEnumerateSessionsW, its list freed with
  // WTSFreeMemory): asked only when the console has no user.
  CallOutcome enumeration;
  std::vector<std::uint32_t> active_sessions;
  // The user of the one active session, asked as the console's; asked only when exactly one is.
  CallOutcome active;
  std::u16string active_sid;
};
// Windows: the calls above, in that order, each only when the one before leaves the question
// open; every failure is recorded in its outcome. wtsapi32 is loaded from System32. POSIX: this
// user at the console of its stand-in session, unless `set_session_user_for_testing` says
// otherwise.
SignedInUsers signed_in_users();

// The sessions in the WTSActive state, as `signed_in_users` asks them. POSIX: the stand-in
// session of this process's user, unless `set_session_user_for_testing` says otherwise.
CallOutcome active_session_ids(std::vector<std::uint32_t>& sessions);

// The folders of the user with the SID `sid`, as that user's registry records them, read
// without that user's token, each value as it is stored (REG_EXPAND_SZ is not expanded: the
// caller expands %USERPROFILE% with `profile_folder`, never with this process's environment).
// Windows, with RegGetValueW (the user's hive is loaded while the user is signed in):
// - `profile_folder`: ProfileImagePath of the key
//   HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\<sid>;
// - `roaming_folder`: AppData of the key
//   HKEY_USERS\<sid>\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders;
// - `temp_folder`: TEMP of the key HKEY_USERS\<sid>\Environment.
// POSIX has no registry: every call fails with ENOSYS, unless `set_session_user_for_testing`
// gave values.
struct UserFolderValues {
  CallOutcome profile;
  std::u16string profile_folder;
  CallOutcome roaming;
  std::u16string roaming_folder;
  CallOutcome temp;
  std::u16string temp_folder;
};
UserFolderValues user_folder_values(const std::u16string& sid);

// POSIX only, for tests: what `session_user` (and with it `this_process_session`),
// `user_folder_values` and `signed_in_users` (and with it `active_session_ids`) answer from now
// on; nullptr restores the stand-in's own answers.
void set_session_user_for_testing(const SessionUser* session, const UserFolderValues* folders,
                                  const SignedInUsers* signed_in = nullptr);

}  // namespace platform
