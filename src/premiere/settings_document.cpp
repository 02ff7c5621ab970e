#include "premiere/settings_document.h"

#include <array>
#include <optional>
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
// "<prop.list>" and "</prop.list>", or npos when the document is senseless. "<prop.list/>" is an
// empty list and counts neither way. A list tag written any other way ("<prop.list a='1'>",
// "</prop.list >", "<prop.list\n>") would be invisible to the count and could put the entry into
// a neighbour, so it makes the document senseless instead.
std::size_t closing_tag(std::string_view document, std::size_t start) {
  constexpr std::size_t senseless = std::string_view::npos;
  int depth = 0;
  for (std::size_t cursor = start;;) {
    const std::size_t open = find_tag(document, "<prop.list", cursor);
    const std::size_t close = find_tag(document, "</prop.list", cursor);
    if (close == std::string_view::npos) return senseless;
    if (open < close) {
      const std::string_view tag = document.substr(open);
      if (tag.starts_with(list_open)) {
        ++depth;
        cursor = open + list_open.size();
      } else if (tag.starts_with(empty_list)) {
        cursor = open + empty_list.size();
      } else {
        return senseless;
      }
      continue;
    }
    if (!document.substr(close).starts_with(list_close)) return senseless;
    if (--depth == 0) return close;
    cursor = close + list_close.size();
  }
}

// The offset of the "</prop.list>" that closes the list of the section whose key tag of
// `key_size` bytes stands at `key`, or npos when that list is not one the edit can trust.
std::size_t section_close(std::string_view document, std::size_t key, std::size_t key_size) {
  const std::size_t key_end = key + key_size;
  const std::size_t list = document.find(list_open, key_end);
  if (list == std::string_view::npos || !owns_list(document.substr(key_end, list - key_end))) {
    return std::string_view::npos;
  }
  return closing_tag(document, list);
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

std::string key_tag(std::string_view name) {
  return "<key>" + std::string(name) + "</key>";
}

// The pair that stands in for a missing section, added directly before the document's last
// "</prop.list>".
std::string new_section(std::string_view name) {
  return "<prop.pair>\n" + key_tag(name) + "\n<prop.list>\n</prop.list>\n</prop.pair>\n";
}

// ---- The entries, in the order the edit adds them ----

// The sections the entries go into.
constexpr std::array<std::string_view, 3> sections = {"ActivePluginIDs", "PluginList",
                                                      "PluginSettingsList"};

// The command bridge's identifier as a value: where it stands, the command bridge is on.
std::string id_value() {
  return "<ustring>" + std::string(command_bridge_id) + "</ustring>";
}

// The entry the edit adds to sections[step]; `number` is the one of its "PluginID<n>" key.
std::string our_entry(std::size_t step, std::string_view number, std::string_view plugin_path) {
  switch (step) {
    case 0:
      return "<prop.pair>\n" + key_tag("PluginID" + std::string(number)) + "\n" + id_value() +
             "\n</prop.pair>\n";
    case 1:
      return "<prop.pair>\n" + key_tag(xml_escape(plugin_path)) +
             "\n<prop.list>\n<prop.pair>\n<key>ID</key>\n" + id_value() +
             "\n</prop.pair>\n<prop.pair>\n<key>Name</key>\n<ustring>" +
             std::string(command_bridge_name) +
             "</ustring>\n</prop.pair>\n</prop.list>\n</prop.pair>\n";
    default:
      return new_section(command_bridge_id);
  }
}

// ---- The edit undone, step by step, last first ----

// The digits of the "PluginID<n>" key that the ActivePluginIDs entry ending at `end` carries
// ("" when the text before `end` does not end as that entry does).
std::string_view entry_number(std::string_view document, std::size_t end) {
  const std::string tail = "</key>\n" + id_value() + "\n</prop.pair>\n";
  const std::string_view before = document.substr(0, end);
  if (!before.ends_with(tail)) return {};
  const std::size_t digits_end = before.size() - tail.size();
  std::size_t digits = digits_end;
  while (digits > 0 && is_digit(before[digits - 1])) --digits;
  return before.substr(digits, digits_end - digits);
}

// The document without the entry of sections[step], when that entry stands as the last member
// of the section, written exactly as the edit writes it.
std::optional<std::string> without_entry(std::string document, std::size_t step,
                                         std::string_view plugin_path) {
  const std::string key = key_tag(sections[step]);
  const std::size_t at = document.find(key);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t close = section_close(document, at, key.size());
  if (close == std::string::npos) return std::nullopt;
  const std::string_view number = step == 0 ? entry_number(document, close) : "";
  if (step == 0 && number.empty()) return std::nullopt;
  const std::string ours = our_entry(step, number, plugin_path);
  if (close < ours.size() || document.compare(close - ours.size(), ours.size(), ours) != 0) {
    return std::nullopt;
  }
  document.erase(close - ours.size(), ours.size());
  return document;
}

// The document without the section `name`, when it stands empty, exactly as the edit adds a
// missing one, directly before the last "</prop.list>".
std::optional<std::string> without_new_section(std::string document, std::string_view name) {
  const std::string key = key_tag(name);
  const std::string section = new_section(name);
  const std::size_t key_offset = section.find(key);
  const std::size_t at = document.find(key);
  if (at == std::string::npos || at < key_offset) return std::nullopt;
  const std::size_t start = at - key_offset;
  if (document.compare(start, section.size(), section) != 0 ||
      document.rfind(list_close) != start + section.size()) {
    return std::nullopt;
  }
  document.erase(start, section.size());
  return document;
}

// Whether the edit turns `original` into `edited`, byte for byte.
bool edits_to(const std::string& original, std::string_view edited, std::string_view plugin_path) {
  try {
    return add_command_bridge(original, plugin_path) == edited;
  } catch (const Failure&) {
    return false;
  }
}

// The document the edit turned into `edited`, found by taking out of `document` the entry of
// sections[step], then the ones before it, and proved by editing it again. Where the edit may
// have added the section as well, the document that keeps it is tried first: a section added
// behind all the others, as in any document laid out like Premiere's, edits to the same text
// whether it was there before or not, and only a document that edits right without it alone
// tells that the edit added it.
std::optional<std::string> undone(const std::string& document, std::size_t step,
                                  std::string_view edited, std::string_view plugin_path) {
  const std::optional<std::string> without = without_entry(document, step, plugin_path);
  if (!without) return std::nullopt;
  const auto rest = [&](const std::string& earlier) -> std::optional<std::string> {
    if (step > 0) return undone(earlier, step - 1, edited, plugin_path);
    if (edits_to(earlier, edited, plugin_path)) return earlier;
    return std::nullopt;
  };
  if (std::optional<std::string> kept = rest(*without)) return kept;
  const std::optional<std::string> dropped = without_new_section(*without, sections[step]);
  return dropped ? rest(*dropped) : std::nullopt;
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
  const std::string key = key_tag(section_key);

  std::size_t at = text.find(key);
  if (at == std::string::npos) {
    // A new, empty section as the last pair of the outermost list.
    const std::size_t last_close = text.rfind(list_close);
    if (last_close == std::string::npos) fail();
    text.insert(last_close, new_section(section_key));
    at = text.find(key, last_close);
  }

  const std::size_t close = section_close(text, at, key.size());
  if (close == std::string::npos) fail();
  text.insert(close, entry);
  return text;
}

std::string add_command_bridge(std::string_view document, std::string_view plugin_path) {
  if (document.find(id_value()) != std::string_view::npos) return std::string(document);

  const std::string number = std::to_string(new_plugin_number(document));
  std::string text(document);
  for (std::size_t step = 0; step < sections.size(); ++step) {
    text = insert_into_section(text, sections[step], our_entry(step, number, plugin_path));
  }
  return text;
}

CommandBridgeRemoval remove_command_bridge(std::string_view document,
                                           std::string_view plugin_path) {
  using enum CommandBridgeRemoval::Outcome;
  if (document.find(id_value()) == std::string_view::npos &&
      document.find(key_tag(command_bridge_id)) == std::string_view::npos) {
    return {not_there, {}};
  }
  std::optional<std::string> original =
      undone(std::string(document), sections.size() - 1, document, plugin_path);
  if (!original) return {changed_since, {}};
  return {*original == settings_template ? only_template_left : removed, std::move(*original)};
}
