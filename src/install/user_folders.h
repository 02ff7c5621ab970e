#pragma once

// Whose folders an install run writes into. Setup runs with administrator rights, so the user it
// runs as is not always the user it installs for: a standard user who gives an administrator's
// credentials runs it as the administrator, and a deployment tool runs it as SYSTEM. The panel
// and Premiere's settings belong to the user at the desktop.

#include <string>

// No user is known to be at the desktop, so there is nobody to install for.
inline constexpr const char* no_desktop_user_message =
    "Setup couldn't tell who's signed in to Windows, so nothing was installed. Sign in and run "
    "Setup from your desktop.";

// The roaming application-data folder of the user at the desktop (platform::desktop_user):
// - this process's user: `known_folder_path(platform::roaming_app_data_folder)`, as ever;
// - another user: that user's roaming folder (platform::desktop_user_known_folder);
// - nobody: throws Failure(no_desktop_user_message).
// Throws Failure("Windows didn't say where this user's folders are.") when the folder of the
// user at the desktop cannot be found.
std::u16string user_roaming_folder();
