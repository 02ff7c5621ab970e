#pragma once

// The platform layer's users and sessions: who is signed in to this process's session, whose
// folders an install writes to, and where this process's user keeps temporary files.
//
// Native paths are UTF-16 (`std::u16string`) on every platform, converted only where they meet
// the OS (see platform/text.h). Unless a function says otherwise, it never throws: failure is a
// `false` or an empty result.

#include <cstdint>
#include <string>
#include <string_view>

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

// The user signed in to this process's session, and this process's own user. Setup runs with
// administrator rights: a standard user who gives an administrator's credentials runs it as the
// administrator, so the user signed in is then another account than this process's.
struct SessionUser {
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

// POSIX only, for tests: what `session_user` and `user_folder_values` answer from now on;
// nullptr restores the stand-in's own answers.
void set_session_user_for_testing(const SessionUser* session, const UserFolderValues* folders);

}  // namespace platform
