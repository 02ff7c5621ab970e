#include "premiere/settings_document.h"

#include "failure.h"

namespace {

constexpr std::string_view list_open = "<prop.list>";
constexpr std::string_view list_close = "</prop.list>";

[[noreturn]] void fail() {
  throw Failure("Premiere's control surface settings didn't make sense.");
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

// The offset of the "</prop.list>" that closes the list opening at `start`. Every list tag on the
// way must be exactly "<prop.list>" or "</prop.list>": a tag written another way
// ("<prop.list/>", "<prop.list a='1'>", "</prop.list >") would put the count off by one and the
// entry into a neighbour, so it makes the document senseless instead.
std::size_t closing_tag(std::string_view document, std::size_t start) {
  int depth = 0;
  std::size_t cursor = start;
  for (;;) {
    const std::size_t open = document.find("<prop.list", cursor);
    const std::size_t close = document.find("</prop.list", cursor);
    if (close == std::string_view::npos) fail();
    const bool opens = open < close;
    const std::size_t tag = opens ? open : close;
    const std::size_t after = tag + (opens ? list_open.size() : list_close.size()) - 1;
    if (after >= document.size()) fail();
    const char next = document[after];
    if (next != '>') {
      if (!continues_name(next)) fail();
      cursor = after;
      continue;
    }
    if (opens) {
      ++depth;
    } else if (--depth == 0) {
      return close;
    }
    cursor = after + 1;
  }
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

  // Only whitespace may stand between the key and its list; anything else means the list is
  // written in a form we do not know, and the next list in the document belongs to someone else.
  std::size_t list = key + key_tag.size();
  while (list < text.size() && is_space(text[list])) ++list;
  if (text.compare(list, list_open.size(), list_open) != 0) fail();

  text.insert(closing_tag(text, list), entry);
  return text;
}

std::string add_command_bridge(std::string_view document, std::string_view plugin_path) {
  const std::string id(command_bridge_id);
  if (document.find("<ustring>" + id + "</ustring>") != std::string_view::npos) {
    return std::string(document);
  }

  // Premiere numbers its active plug-ins PluginID0, PluginID1, ...: the next key is the count of
  // numbered keys present, wherever they stand.
  constexpr std::string_view numbered = "<key>PluginID";
  std::size_t count = 0;
  for (std::size_t at = document.find(numbered); at != std::string_view::npos;
       at = document.find(numbered, at + 1)) {
    std::size_t end = at + numbered.size();
    while (end < document.size() && is_digit(document[end])) ++end;
    if (end > at + numbered.size() && document.substr(end, 6) == "</key>") ++count;
  }

  std::string text =
      insert_into_section(document, "ActivePluginIDs",
                          "<prop.pair>\n<key>PluginID" + std::to_string(count) +
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
