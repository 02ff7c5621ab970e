#include "install/user_folders.h"

#include "failure.h"
#include "fs/paths.h"
#include "platform/platform.h"

std::u16string user_roaming_folder() {
  switch (platform::desktop_user()) {
    case platform::DesktopUser::this_user:
      return known_folder_path(platform::roaming_app_data_folder);
    case platform::DesktopUser::another_user: {
      std::u16string folder =
          platform::desktop_user_known_folder(platform::roaming_app_data_folder);
      if (folder.empty()) throw Failure("Windows didn't say where this user's folders are.");
      return folder;
    }
    case platform::DesktopUser::nobody:
      break;
  }
  // Installing as the process's own user would put Corvalis where nobody uses it (the system
  // profile, an administrator's), and the run would report success.
  throw Failure(no_desktop_user_message);
}
