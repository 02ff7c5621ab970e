#include "app/settings.h"

#include "platform/platform.h"
#include "product.h"

namespace {

bool checking = false;
std::u16string base = std::u16string(default_release_host);

// Only a plain prefix test: https anywhere, http only to this machine (a local test host).
bool accepted_base(const std::u16string& url) {
  return url.starts_with(u"https://") || url.starts_with(u"http://localhost") ||
         url.starts_with(u"http://127.0.0.1");
}

}  // namespace

bool scan_command_line() {
  return scan_arguments(platform::command_line_arguments());
}

bool scan_arguments(const std::vector<std::u16string>& arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == u"--check") checking = true;
    if (i + 1 < arguments.size() && arguments[i] == u"--base") {
      base = arguments[i + 1];
      while (!base.empty() && base.back() == u'/') base.pop_back();
      if (!accepted_base(base)) return false;
    }
  }
  return true;
}

bool check_mode() {
  return checking;
}

const std::u16string& base_url() {
  return base;
}

void restore_default_settings() {
  checking = false;
  base = std::u16string(default_release_host);
}
