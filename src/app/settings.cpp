#include "app/settings.h"

#include <algorithm>
#include <string_view>

namespace {

// A port as a URL writes it: 1 to 65535 in decimal, without leading zeros.
bool is_port(std::u16string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == u'0') return false;
  unsigned value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
  }
  return value <= 65535;
}

// Plain http goes only to this machine (a local test host), so its host is named exactly:
// "localhost" or "127.0.0.1", then the end, a port or a path. A prefix test would let
// "http://localhost.example.com" through, or "http://127.0.0.1@192.0.2.2", whose request goes
// to 192.0.2.2. An "@" is refused anywhere, so that no reader of the URL can take what comes
// before it for user info.
bool names_this_machine(std::u16string_view rest) {
  if (rest.find(u'@') != std::u16string_view::npos) return false;
  for (std::u16string_view host : {u"localhost", u"127.0.0.1"}) {
    if (!rest.starts_with(host)) continue;
    rest.remove_prefix(host.size());
    const std::size_t path = std::min(rest.find(u'/'), rest.size());
    const std::u16string_view port = rest.substr(0, path);
    return port.empty() || (port.front() == u':' && is_port(port.substr(1)));
  }
  return false;
}

// https to any host; plain http only to this machine.
bool accepted_base(std::u16string_view url) {
  constexpr std::u16string_view http = u"http://";
  return url.starts_with(u"https://") ||
         (url.starts_with(http) && names_this_machine(url.substr(http.size())));
}

}  // namespace

std::optional<RunSettings> parse_command_line(const std::vector<std::u16string>& arguments) {
  RunSettings settings;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == u"--check") settings.check = true;
    if (arguments[i] == u"--uninstall") settings.uninstall = true;
    if (arguments[i] == u"--silent") settings.silent = true;
    if (i + 1 < arguments.size() && arguments[i] == u"--log") settings.log_file = arguments[i + 1];
    if (i + 1 < arguments.size() && arguments[i] == u"--base") {
      std::u16string& base = settings.base = arguments[i + 1];
      while (!base.empty() && base.back() == u'/') base.pop_back();
      if (!accepted_base(base)) return std::nullopt;
    }
  }
  return settings;
}
