// Generated and mutated documents, edited by the code and by a reference that does the edit the
// plain way (exact tag texts only, counting, first occurrences). A judge that reads list tags in
// every spelling XML allows says, for each of the reference's insertions, whether the entry
// really became the last member of the named section. Wherever it did, the code's output must be
// the reference's, byte for byte; wherever it did not, or the reference gives up, the code must
// refuse with its one message. Every edited document edits to itself.
//
// The reverse is checked on every document edited: it gives back the very document the edit was
// given wherever that had all three sections, and elsewhere one the edit turns into the same
// text; once the edit's entries are changed, it leaves the document alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failure.h"
#include "premiere/settings_document.h"

namespace {

// Edit and reverse: about 0.8 s natively, 1.5 s under Wine, 10 s under the sanitizers.
constexpr int documents = 40000;

const std::string id = "com.corvalisplugin.commands";
const std::string id_value = "<ustring>" + id + "</ustring>";

// Pieces documents are made of, the ones the edit looks for and the ones that try to fool it.
const std::vector<std::string> tokens = {
    "<prop.list>",
    "</prop.list>",
    "<prop.pair>",
    "</prop.pair>",
    "<key>ActivePluginIDs</key>",
    "<key>PluginList</key>",
    "<key>PluginSettingsList</key>",
    "<key>PluginID",
    "<key>PluginID0</key>",
    "<key>PluginID17</key>",
    "<key>PluginID</key>",
    "<key>",
    "</key>",
    "<ustring>",
    "</ustring>",
    "<ustring>x</ustring>",
    id,
    "\n",
    "\r\n",
    " ",
    "\t",
    "<prop.list/>",
    "<prop.list a='1'>",
    "</prop.list >",
    "<prop.listing>",
    "<Key>PluginList</Key>",
    "caf\xC3\xA9",
    "&amp;",
    "x",
    "12",
    "\xEF\xBB\xBF",
    "<prop.map version='4'>",
    "</prop.map>",
    "<key>" + id + "</key>",
    "<prop.pair>\n<key>PluginSettingsList</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n",
    "<prop.pair>\n<key>" + id + "</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n"};

// What documents laid out like Premiere's are made of.
const std::vector<std::string> section_names = {"ActivePluginIDs", "PluginList",
                                                "PluginSettingsList", "SettingsVersion", "Other"};
// What may stand between a section's key and its list.
const std::vector<std::string> before_list = {" ",
                                              "\r\n\t",
                                              "<!-- list -->\n",
                                              "<ustring>x</ustring>\n",
                                              "text&amp;",
                                              "<prop.listing/>\n",
                                              "<keys/>\n",
                                              "</key>\n",
                                              "<prop.list/>\n",
                                              "<prop.list a='1'>\n</prop.list>\n",
                                              "</prop.pair>\n<prop.pair>\n",
                                              "<prop.pair>\n",
                                              "<key>Other</key>\n",
                                              "<key>ActivePluginIDs</key>\n",
                                              "</prop.list>\n"};
// List tags written in other ways XML allows.
const std::vector<std::string> odd_opens = {"<prop.list a='1'>\n", "<prop.list >\n",
                                            "<prop.list\n>\n", "<prop.list />\n<prop.list>\n"};
const std::vector<std::string> odd_closes = {"</prop.list >\n", "</prop.list\n>\n",
                                             "</prop.list\t>\n"};
const std::vector<std::string> numbers = {"0", "1", "2", "3", "5", "01", "12"};

const std::vector<std::string> paths = {
    "C:\\Program Files\\Adobe\\Common\\Plug-ins\\ControlSurface\\Corvalis.acsrf",
    "C:\\A & B\\<x> \"q\" 'a'.acsrf", "/opt/caf\xC3\xA9/Corvalis.acsrf", ""};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> seeds() {
  const std::string edited = add_command_bridge(settings_template, paths[0]);
  return {std::string(settings_template), replaced(std::string(settings_template), "\n", "\r\n"),
          edited,
          // The edited document with the command bridge's identifier gone: entries to add again.
          replaced(edited, id_value, "<ustring>other</ustring>"),
          replaced(replaced(edited, id_value, "<ustring>other</ustring>"), "\n", "\r\n"),
          "<prop.list>\n</prop.list>\n", ""};
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}
  std::size_t below(std::size_t bound) { return bound ? random_() % bound : 0; }

  std::string mutated(std::string text) {
    for (std::size_t steps = 1 + below(4); steps--;) {
      const std::size_t at = below(text.size() + 1);
      const std::size_t length = std::min(below(24), text.size() - at);
      switch (below(5)) {
        case 0:
          text.insert(at, tokens[below(tokens.size())]);
          break;
        case 1:
          text.erase(at, length);
          break;
        case 2:
          text.insert(at, text.substr(at, length));
          break;
        case 3:
          text.replace(at, length, tokens[below(tokens.size())]);
          break;
        default:
          text.insert(at, 1, static_cast<char>(below(256)));
          break;
      }
    }
    return text;
  }

  // A document laid out like Premiere's, most of it well formed, with the forms a section, its
  // list and its members may take.
  std::string structured() {
    std::string text = "<?xml version='1.0'?>\n<prop.map version='4'>\n<prop.list>\n";
    for (std::size_t count = below(6); count--;) {
      // One draw per statement, so that every build draws in the same order.
      text += "<prop.pair>\n<key>" + pick(section_names) + "</key>";
      text += below(5) ? std::string("\n") : pick(before_list);
      text += list(2);
      text += "</prop.pair>\n";
    }
    text += "</prop.list>\n</prop.map>\n";
    return below(4) ? text : replaced(text, "\n", "\r\n");
  }

  std::string generated() {
    std::string text;
    for (std::size_t count = below(40); count--;) text += tokens[below(tokens.size())];
    return text;
  }

 private:
  std::string pick(const std::vector<std::string>& from) { return from[below(from.size())]; }

  // A list of members, usually written with the exact tag texts.
  std::string list(int depth) {
    const std::size_t form = below(12);
    if (form == 0) return "<prop.list/>\n";
    std::string text = form == 1 || form == 3 ? pick(odd_opens) : std::string("<prop.list>\n");
    text += members(depth);
    text += form == 2 || form == 3 ? pick(odd_closes) : std::string("</prop.list>\n");
    return text;
  }

  std::string members(int depth) {
    std::string text;
    for (std::size_t count = below(4); count--;) {
      switch (below(depth > 0 ? 6 : 4)) {
        case 0:
          text += "<prop.pair>\n<key>PluginID" + pick(numbers) + "</key>\n<ustring>x</ustring>\n" +
                  "</prop.pair>\n";
          break;
        case 1:
          text += "<prop.pair><key>other.plugin</key><prop.list/></prop.pair>\n";
          break;
        case 2:
          text += below(30) ? "<prop.pair>\n<key>Version</key>\n<int>3</int>\n</prop.pair>\n"
                            : "<prop.pair>\n<key>ID</key>\n" + id_value + "\n</prop.pair>\n";
          break;
        case 3:
          text += "<prop.pair>\n<key>" + pick(section_names) + "</key>\n<ustring>x</ustring>\n" +
                  "</prop.pair>\n";
          break;
        default:
          text += "<prop.pair>\n<key>C:\\other.acsrf</key>\n" + list(depth - 1) + "</prop.pair>\n";
      }
    }
    return text;
  }

  std::mt19937 random_;
};

// ---- The reference: the plain edit, step by step, exact tag texts only ----

constexpr std::string_view open_tag = "<prop.list>";
constexpr std::string_view close_tag = "</prop.list>";

// One insertion as the reference made it: the document before the entry went in (a created
// section already in it), and where the key, the list and its closing tag were found.
struct Insertion {
  std::string document;
  std::size_t key = 0;
  std::size_t key_size = 0;
  std::size_t list = 0;
  std::size_t close = 0;
};

// insert_into_section; nothing where the plain edit gives up.
std::optional<std::string> reference_insert(const std::string& document, const std::string& name,
                                            const std::string& entry,
                                            std::vector<Insertion>& insertions) {
  std::string text = document;
  const std::string key_tag = "<key>" + name + "</key>";
  std::size_t p = text.find(key_tag);
  if (p == std::string::npos) {
    const std::size_t q = text.rfind(close_tag);
    if (q == std::string::npos) return std::nullopt;
    text.insert(q, "<prop.pair>\n" + key_tag + "\n<prop.list>\n</prop.list>\n</prop.pair>\n");
    p = text.find(key_tag);
  }
  const std::size_t s = text.find(open_tag, p);
  if (s == std::string::npos) return std::nullopt;
  int depth = 0;
  std::size_t cursor = s;
  for (;;) {
    const std::size_t o = text.find(open_tag, cursor);
    const std::size_t c = text.find(close_tag, cursor);
    if (c == std::string::npos) return std::nullopt;
    if (o != std::string::npos && o < c) {
      ++depth;
      cursor = o + 11;
      continue;
    }
    if (--depth == 0) {
      insertions.push_back({text, p, key_tag.size(), s, c});
      text.insert(c, entry);
      return text;
    }
    cursor = c + 12;
  }
}

std::string reference_escape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else if (c == '"')
      escaped += "&quot;";
    else if (c == '\'')
      escaped += "&apos;";
    else
      escaped += c;
  }
  return escaped;
}

struct ReferenceEdit {
  std::optional<std::string> result;  // nothing: the plain edit gives up
  std::vector<Insertion> insertions;
  bool renumbered = false;  // the counted number was taken
};

ReferenceEdit reference_edit(const std::string& document, const std::string& path) {
  ReferenceEdit edit;
  if (document.find(id_value) != std::string::npos) {
    edit.result = document;
    return edit;
  }
  // The numbered keys, resuming one byte after each "<key>PluginID".
  std::size_t n = 0;
  std::vector<unsigned long long> numbers;
  const std::string prefix = "<key>PluginID";
  for (std::size_t at = document.find(prefix); at != std::string::npos;
       at = document.find(prefix, at + 1)) {
    std::size_t end = at + prefix.size();
    unsigned long long value = 0;
    bool huge = false;
    while (end < document.size() && document[end] >= '0' && document[end] <= '9') {
      huge = huge || value > 1'000'000'000'000ull;
      value = value * 10 + static_cast<unsigned long long>(document[end++] - '0');
    }
    if (end == at + prefix.size() || document.compare(end, 6, "</key>") != 0) continue;
    ++n;
    if (!huge) numbers.push_back(value);
  }
  // The count, unless a key already has that number: then the smallest larger number none has.
  unsigned long long number = n;
  while (std::find(numbers.begin(), numbers.end(), number) != numbers.end()) ++number;
  edit.renumbered = number != n;

  const std::string a = "<prop.pair>\n<key>PluginID" + std::to_string(number) +
                        "</key>\n<ustring>" + id + "</ustring>\n</prop.pair>\n";
  const std::string b = "<prop.pair>\n<key>" + reference_escape(path) +
                        "</key>\n<prop.list>\n<prop.pair>\n<key>ID</key>\n<ustring>" + id +
                        "</ustring>\n</prop.pair>\n<prop.pair>\n<key>Name</key>\n<ustring>Corvalis "
                        "Command Bridge</ustring>\n</prop.pair>\n</prop.list>\n</prop.pair>\n";
  const std::string c =
      "<prop.pair>\n<key>" + id + "</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n";
  std::optional<std::string> text =
      reference_insert(document, "ActivePluginIDs", a, edit.insertions);
  if (text) text = reference_insert(*text, "PluginList", b, edit.insertions);
  if (text) text = reference_insert(*text, "PluginSettingsList", c, edit.insertions);
  edit.result = text;
  return edit;
}

// ---- The judge: where an insertion really landed ----

bool name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

// The element name of the tag at `at` ("<name" or "</name"), and whether it closes.
std::string tag_name(const std::string& text, std::size_t at, bool& closing) {
  std::size_t start = at + 1;
  closing = start < text.size() && text[start] == '/';
  if (closing) ++start;
  std::size_t end = start;
  while (end < text.size() && name_byte(text[end])) ++end;
  return text.substr(start, end - start);
}

enum class Spelling { exact, other, unreadable };
enum class ListTag { open, close, empty };

// A prop.list tag at `at` as XML reads it: "<prop.list" then attributes (quoted values may hold
// '>' and '/') and '>' or "/>"; "</prop.list", white space, '>'. `end` is one past it.
Spelling read_list_tag(const std::string& text, std::size_t at, bool closing, ListTag& kind,
                       std::size_t& end) {
  std::size_t i = at + (closing ? 11 : 10);
  if (closing) {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
      ++i;
    }
    if (i == text.size() || text[i] != '>') return Spelling::unreadable;
    kind = ListTag::close;
    end = i + 1;
    return end - at == close_tag.size() ? Spelling::exact : Spelling::other;
  }
  char quote = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '<') {
      return Spelling::unreadable;
    } else if (c == '>') {
      kind = text[i - 1] == '/' ? ListTag::empty : ListTag::open;
      end = i + 1;
      const std::string_view tag = std::string_view(text).substr(at, end - at);
      return tag == open_tag || tag == "<prop.list/>" ? Spelling::exact : Spelling::other;
    }
  }
  return Spelling::unreadable;
}

// In order of precedence: one entry misplaced outweighs the rest.
enum class Verdict { inside, left_to_us_inside, left_to_us, outside };

// Whether the reference's entry went last into the named section's own list. The list is the
// section's own when nothing between the key and it closes the key's pair or begins another
// pair, key or list (in any spelling); the entry is last in it when the reference's closing tag
// is the one that really closes that list. A list tag the exact texts miss on the way is one of
// the forms the edit may refuse: the verdict says whether the reference was right anyway.
Verdict judge(const Insertion& at) {
  const std::string& text = at.document;
  for (std::size_t i = text.find('<', at.key + at.key_size); i < at.list;
       i = text.find('<', i + 1)) {
    bool closing = false;
    const std::string name = tag_name(text, i, closing);
    if (name == "prop.list" || name == "prop.pair" || (name == "key" && !closing)) {
      return Verdict::outside;
    }
  }
  bool exact = true;
  int depth = 0;
  for (std::size_t i = at.list; i != std::string::npos; i = text.find('<', i + 1)) {
    bool closing = false;
    if (tag_name(text, i, closing) != "prop.list") continue;
    ListTag kind{};
    std::size_t end = 0;
    const Spelling spelling = read_list_tag(text, i, closing, kind, end);
    if (spelling == Spelling::unreadable) return Verdict::left_to_us;
    exact = exact && spelling == Spelling::exact;
    if (kind == ListTag::open) ++depth;
    if (kind == ListTag::close && --depth == 0) {
      if (i != at.close) return exact ? Verdict::outside : Verdict::left_to_us;
      return exact ? Verdict::inside : Verdict::left_to_us_inside;
    }
  }
  return exact ? Verdict::outside : Verdict::left_to_us;
}

// ---- The reverse ----

using Outcome = CommandBridgeRemoval::Outcome;

// given_back: the edit's input came back, all three sections in it; section_told: a section the
// edit added went as well; section_kept: one stayed, as it could have been there before.
struct ReverseCounts {
  int given_back = 0, section_told = 0, section_kept = 0, template_left = 0;
};

// The edit of `input` into `edited`, undone; and undone no more once its entries change.
void check_reverse(const std::string& input, const std::string& edited, const std::string& path,
                   std::size_t change, ReverseCounts& counts) {
  const auto shown = [&] { return "input:\n" + input + "\nedited:\n" + edited; };
  const CommandBridgeRemoval removal = remove_command_bridge(edited, path);
  const bool is_template = input == settings_template;
  ASSERT_EQ(removal.outcome, is_template ? Outcome::only_template_left : Outcome::removed)
      << shown();
  counts.template_left += is_template;
  if (input.find("<key>ActivePluginIDs</key>") != std::string::npos &&
      input.find("<key>PluginList</key>") != std::string::npos &&
      input.find("<key>PluginSettingsList</key>") != std::string::npos) {
    ASSERT_EQ(removal.document, input) << shown();
    ++counts.given_back;
  } else {
    ASSERT_EQ(add_command_bridge(removal.document, path), edited) << shown();
    ++(removal.document == input ? counts.section_told : counts.section_kept);
  }

  // Changed since: the active entry renumbered or followed by another plug-in's, a line of the
  // plug-in's entry ended in CR LF, or the plug-in elsewhere. The input held no identifier value,
  // so the edit's two are the only ones: the active entry's, and the plug-in's after its ID key.
  std::size_t active = edited.find(id_value);
  std::size_t plugin = edited.find(id_value, active + 1);
  if (edited.compare(active - 14, 14, "<key>ID</key>\n") == 0) std::swap(active, plugin);
  std::string changed = edited;
  const std::string other =
      "<prop.pair>\n<key>PluginID9</key>\n<ustring>o</ustring>\n</prop.pair>\n";
  switch (change % 4) {
    case 0:
      changed.insert(active - std::string_view("</key>\n").size(), "7");
      break;
    case 1:
      changed.insert(active + id_value.size() + std::string_view("\n</prop.pair>\n").size(), other);
      break;
    case 2:
      changed.insert(plugin + id_value.size(), "\r");
      break;
  }
  ASSERT_EQ(remove_command_bridge(changed, change % 4 == 3 ? path + "x" : path).outcome,
            Outcome::changed_since)
      << changed;
}

TEST(AddCommandBridgeProperty, MatchesThePlainEditWhereverItPlacesEntriesInTheirSections) {
  Generator generator(20240611);
  const std::vector<std::string> starts = seeds();
  // identical: both edit, same bytes; misplaced: the reference puts an entry outside its section
  // and the code refuses; left_to_us: a list tag written another way on the way, the code
  // refuses (right_anyway of them the reference edited correctly all the same); failed: the
  // reference gives up and so does the code.
  int identical = 0, renumbered = 0, unchanged = 0, misplaced = 0, left_to_us = 0, right_anyway = 0,
      failed = 0;
  ReverseCounts reverse;
  for (int round = 0; round < documents; ++round) {
    std::string input;
    switch (round % 6) {
      case 0:
        input = generator.generated();
        break;
      case 1:
      case 2:
        input = generator.mutated(starts[generator.below(starts.size())]);
        break;
      case 3:
        input = generator.mutated(generator.structured());
        break;
      default:
        input = generator.structured();
    }
    const std::string& path = paths[generator.below(paths.size())];
    const ReferenceEdit reference = reference_edit(input, path);
    std::optional<std::string> result;
    try {
      result = add_command_bridge(input, path);
    } catch (const Failure& failure) {
      ASSERT_STREQ(failure.what(), "Premiere's control surface settings didn't make sense.");
    }
    const auto shown = [&] {
      return "input:\n" + input + "\nreference:\n" + reference.result.value_or("(fails)") +
             "\ncode:\n" + result.value_or("(refuses)");
    };

    if (!reference.result) {
      ASSERT_FALSE(result) << shown();
      ++failed;
      continue;
    }
    if (reference.insertions.empty()) {
      ASSERT_EQ(result, input);
      ++unchanged;
      continue;
    }
    Verdict verdict = Verdict::inside;
    for (const Insertion& insertion : reference.insertions) {
      verdict = std::max(verdict, judge(insertion));
    }
    if (verdict == Verdict::inside) {
      ASSERT_EQ(result, reference.result) << shown();
      ASSERT_EQ(add_command_bridge(*result, path), *result);
      ASSERT_NO_FATAL_FAILURE(check_reverse(input, *result, path, round, reverse));
      ++identical;
      renumbered += reference.renumbered;
      continue;
    }
    ASSERT_FALSE(result) << shown();
    if (verdict == Verdict::outside) {
      ++misplaced;
    } else {
      ++left_to_us;
      right_anyway += verdict == Verdict::left_to_us_inside;
    }
  }
  std::cout << "settings documents: " << identical << " edited as the plain edit does ("
            << renumbered << " with a renumbered key), " << unchanged << " already switched on, "
            << misplaced << " refused where the plain edit misplaces an entry, " << left_to_us
            << " refused for a list tag written another way (" << right_anyway
            << " of them placed right all the same), " << failed
            << " refused where the plain edit gives up\n"
            << "undone: " << reverse.given_back << " given back byte for byte, "
            << reverse.section_told << " with an added section taken out, " << reverse.section_kept
            << " keeping an added section that may have been there, " << reverse.template_left
            << " of the template; as many changed since and left alone\n";
  RecordProperty("edited", identical);
  RecordProperty("renumbered", renumbered);
  RecordProperty("unchanged", unchanged);
  RecordProperty("misplaced", misplaced);
  RecordProperty("left_to_us", left_to_us);
  RecordProperty("right_anyway", right_anyway);
  RecordProperty("failed", failed);
  // Each way out is taken often enough to mean something.
  const int enough = documents / 100;
  EXPECT_GT(identical, 10 * enough);
  EXPECT_GT(renumbered, enough);
  EXPECT_GT(unchanged, enough);
  EXPECT_GT(misplaced, enough);
  EXPECT_GT(left_to_us, enough);
  EXPECT_GT(failed, enough);
  EXPECT_GT(reverse.given_back, 5 * enough);
  EXPECT_GT(reverse.section_kept, enough);
  EXPECT_GT(reverse.section_told, enough / 10);
  EXPECT_GT(reverse.template_left, 0);
}

}  // namespace
