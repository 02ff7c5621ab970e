#pragma once

// Whose folders an install run writes into, and whether Setup's own temporary folder can be used.
// Setup runs with administrator rights, so the user it runs as is not always the user it installs
// for: a standard user who gives an administrator's credentials runs it as the administrator. The
// panel, Premiere's settings and the log the user is shown belong to the user signed in to
// Setup's session. Deployment tools start Setup as SYSTEM in the services' session, which nobody
// signs in to: the run is then for the user signed in to the machine, when there is one.
//
// The decision is made from facts the platform gathers (platform::session_user,
// platform::signed_in_users and platform::user_folder_values), each with the outcome of the call
// that gave it, so that every way it can go is tested with given facts.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/users.h"

// The session has no user at all (a service's session), so there is nobody to install for.
inline constexpr const char* no_signed_in_user_message =
    "Setup couldn't tell who's signed in to Windows, so nothing was installed. Sign in and run "
    "Setup from your desktop.";
// Someone is signed in, but Windows wouldn't say who or where their folders are.
inline constexpr const char* user_folders_unknown_message =
    "Windows didn't say where this user's folders are.";
// Setup runs in the services' session and cannot tell one user the run is for: it is not SYSTEM
// (only SYSTEM may ask a session for its user), or nobody, or more than one user, is signed in.
inline constexpr const char* system_without_user_message =
    "Setup runs as SYSTEM and no single user is signed in, so nothing was installed.";
// Setup's own temporary folder, where the run folder goes, cannot be opened.
inline constexpr const char* temp_folder_unusable_message =
    "Setup couldn't use the temporary folder, so nothing was installed.";

// What the platform says about the signed-in user. Who is signed in to the machine is asked only
// by SYSTEM in the services' session; the folder values only for another user than Setup's own.
struct UserFacts {
  platform::SessionUser session;
  platform::UserFolderValues folders;
  platform::SignedInUsers signed_in;
};
UserFacts user_facts();

// Whose folders the run writes into, as the facts decide.
struct UserFolders {
  // The signed-in user is another account than the one Setup runs as.
  bool another_user = false;
  // The session that user works in, where Premiere Pro is looked for.
  std::uint32_t session = platform::no_session;
  // That user's roaming folder (for this process's user the platform's known folder is asked
  // when it is needed, as ever).
  std::u16string roaming_folder;
  // That user's temporary folder, where the log goes; empty: Setup's own.
  std::u16string temp_folder;
  // One setup-log line for each call that failed and each value that could not be used, as
  // "<call> <what it was asked> failed (error <code>)" or "Can't use <what>: <value>".
  std::vector<std::string> notes;
  // The message the run fails with; empty when the folders are known.
  std::string failure;
};

// The decision:
// - this process's session could not be asked: `user_folders_unknown_message`;
// - outside the services' session, the user signed in to Setup's own session:
//   - the session's user could not be asked: `user_folders_unknown_message`;
//   - the session has no user: `no_signed_in_user_message`;
//   - the user's SID or Setup's own could not be had: `user_folders_unknown_message`;
// - in the services' session:
//   - Setup's own SID could not be had: `user_folders_unknown_message`;
//   - Setup runs as another account than SYSTEM: `system_without_user_message`;
//   - the user of the console session; when the console has none (or there is no console
//     session), the user of the one session in the WTSActive state; none or several active:
//     `system_without_user_message`. A call asked and failed: `user_folders_unknown_message`;
// - the user's session is the session Premiere Pro is looked for in;
// - the same SID as Setup's own: this process's user, nothing else to find;
// - another SID: that user's profile folder and roaming folder must be read and usable (else
//   `user_folders_unknown_message`). %USERPROFILE% in a value stands for the profile folder;
//   any other variable, a profile folder with one, or a result that is not an absolute path is
//   not used. The temporary folder is found the same way; when it cannot be, the log stays in
//   Setup's own and the run goes on.
// Every failed call and every value not used adds its note. A failed call is never taken for
// nobody signed in.
UserFolders decide_user_folders(const UserFacts& facts);

// The decision on the platform's facts, with the other user's temporary folder given up (and a
// note added) when it cannot be opened as itself: the log then stays in Setup's own.
UserFolders find_user_folders();

// The roaming folder of the run's user, once the notes are logged: throws Failure with the
// decision's message, or "Windows didn't say where this user's folders are." when this process's
// own roaming folder is unknown.
std::u16string user_roaming_folder(const UserFolders& user);

// Setup runs in the services' session, whose desktop nobody sees, so a window there would wait for
// a press that never comes. False when the session cannot be asked.
bool runs_in_services_session();

// Throws Failure(temp_folder_unusable_message) when Setup's own temporary folder (where the run
// folder goes) is unknown or cannot be opened as itself (missing, not a folder, a link), after
// logging why. A run checks it before it changes anything.
void require_usable_temp_folder();
