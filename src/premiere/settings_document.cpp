#include "premiere/settings_document.h"

#include <set>

#include "failure.h"

namespace {

constexpr std::string_view list_open = "<prop.list>";
constexpr std::string_view list_close = "</prop.list>";
constexpr std::string_view empty_list = "<prop.list/>";

[[noreturn]] void fail() {
  throw Failure("Premiere's control surface settings didn't make sense.");
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A byte that may continue an XML name: after "<prop.list" it makes another element's tag
// ("<prop.listing>"), which is none of the edit's business.
bool continues_name(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
         c == '_' || c == ':' || byte >= 0x80;
}

// The offset of the first tag at or after `from` that begins with `start` ("<prop.list",
// "<key", ...) and belongs to that element, however the rest of it is written.
std::size_t find_tag(std::string_view text, std::string_view start, std::size_t from) {
  for (std::size_t at = text.find(start, from); at != std::string_view::npos;
       at = text.find(start, at + 1)) {
    const std::size_t after = at + start.size();
    if (after == text.size() || !continues_name(text[after])) return at;
  }
  return std::string_view::npos;
}

// Whether the list a section's key is followed by is the section's own: nothing on the way may
// close the key's pair or begin another pair, key or list. A section whose own list is written
// another way ("<prop.list/>", "<prop.list a='1'>") stops here too, instead of lending the
// section the next list in the document.
bool owns_list(std::string_view between) {
  for (const std::string_view start :
       {"<prop.list", "</prop.list", "<prop.pair", "</prop.pair", "<key"}) {
    if (find_tag(between, start, 0) != std::string_view::npos) return false;
  }
  return true;
}

// The offset of the "</prop.list>" that closes the list opening at `start`, found by counting
// "<prop.list>" and "</prop.list>". "<prop.list/>" is an empty list and counts neither way. A list
// tag written any other way ("<prop.list a='1'>", "</prop.list >", "<prop.list\n>") would be
// invisible to the count and could put the entry into a neighbour, so it makes the document
// senseless instead.
std::size_t closing_tag(std::string_view document, std::size_t start) {
  int depth = 0;
  for (std::size_t cursor = start;;) {
    const std::size_t open = find_tag(document, "<prop.list", cursor);
    const std::size_t close = find_tag(document, "</prop.list", cursor);
    if (close == std::string_view::npos) fail();
    if (open < close) {
      const std::string_view tag = document.substr(open);
      if (tag.starts_with(list_open)) {
        ++depth;
        cursor = open + list_open.size();
      } else if (tag.starts_with(empty_list)) {
        cursor = open + empty_list.size();
      } else {
        fail();
      }
      continue;
    }
    if (!document.substr(close).starts_with(list_close)) fail();
    if (--depth == 0) return close;
    cursor = close + list_close.size();
  }
}

// The number of the new "PluginID<n>" key. Premiere numbers its active plug-ins 0, 1, 2, ..., so
// the count of numbered keys anywhere in the document is the next one. When a gap in the
// numbering makes that number taken, the smallest larger one no key uses: two equal keys would
// leave it to the reader which plug-in stays active. "PluginID07" uses 7.
std::size_t new_plugin_number(std::string_view document) {
  constexpr std::string_view numbered = "<key>PluginID";
  std::size_t count = 0;
  std::set<std::string_view> used;
  for (std::size_t at = document.find(numbered); at != std::string_view::npos;
       at = document.find(numbered, at + 1)) {
    const std::size_t digits = at + numbered.size();
    std::size_t end = digits;
    while (end < document.size() && is_digit(document[end])) ++end;
    if (end == digits || document.substr(end, 6) != "</key>") continue;
    ++count;
    std::size_t first = digits;
    while (first + 1 < end && document[first] == '0') ++first;
    used.insert(document.substr(first, end - first));
  }
  std::size_t number = count;
  while (used.contains(std::to_string(number))) ++number;
  return number;
}

}  // namespace

std::string xml_escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string insert_into_section(std::string_view document, std::string_view section_key,
                                std::string_view entry) {
  std::string text(document);
  const std::string key_tag = "<key>" + std::string(section_key) + "</key>";

  std::size_t key = text.find(key_tag);
  if (key == std::string::npos) {
    // A new, empty section as the last pair of the outermost list.
    const std::size_t last_close = text.rfind(list_close);
    if (last_close == std::string::npos) fail();
    const std::string pair_open = "<prop.pair>\n";
    text.insert(last_close, pair_open + key_tag + "\n<prop.list>\n</prop.list>\n</prop.pair>\n");
    key = last_close + pair_open.size();
  }

  const std::size_t key_end = key + key_tag.size();
  const std::size_t list = text.find(list_open, key_end);
  if (list == std::string::npos) fail();
  if (!owns_list(std::string_view(text).substr(key_end, list - key_end))) fail();

  text.insert(closing_tag(text, list), entry);
  return text;
}

std::string add_command_bridge(std::string_view document, std::string_view plugin_path) {
  const std::string id(command_bridge_id);
  if (document.find("<ustring>" + id + "</ustring>") != std::string_view::npos) {
    return std::string(document);
  }

  std::string text = insert_into_section(
      document, "ActivePluginIDs",
      "<prop.pair>\n<key>PluginID" + std::to_string(new_plugin_number(document)) +
          "</key>\n<ustring>" + id + "</ustring>\n</prop.pair>\n");
  text = insert_into_section(text, "PluginList",
                             "<prop.pair>\n<key>" + xml_escape(plugin_path) +
                                 "</key>\n<prop.list>\n<prop.pair>\n<key>ID</key>\n<ustring>" + id +
                                 "</ustring>\n</prop.pair>\n<prop.pair>\n<key>Name</key>\n"
                                 "<ustring>" +
                                 std::string(command_bridge_name) +
                                 "</ustring>\n</prop.pair>\n</prop.list>\n</prop.pair>\n");
  return insert_into_section(
      text, "PluginSettingsList",
      "<prop.pair>\n<key>" + id + "</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n");
}
