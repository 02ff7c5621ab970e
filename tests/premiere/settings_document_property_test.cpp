// Generated and mutated documents against the edit's two promises: it either refuses the
// document with its one message, or returns the document's own bytes, in order, with nothing
// but the three entries (each possibly inside a new section) inserted; and a second edit
// changes nothing.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "failure.h"
#include "premiere/settings_document.h"

namespace {

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

  std::string generated() {
    std::string text;
    for (std::size_t count = below(40); count--;) text += tokens[below(tokens.size())];
    return text;
  }

 private:
  std::mt19937 random_;
};

// Whether `result` turns into `input` when one form of each chunk, in turn, is cut out of it.
bool rebuilds(const std::string& result, const std::string& input,
              const std::vector<std::vector<std::string>>& chunks, std::size_t next = 0) {
  if (next == chunks.size()) return result == input;
  for (const std::string& form : chunks[next]) {
    for (std::size_t at = result.find(form); at != std::string::npos;
         at = result.find(form, at + 1)) {
      std::string less = result;
      less.erase(at, form.size());
      if (rebuilds(less, input, chunks, next + 1)) return true;
    }
  }
  return false;
}

// The entry for `section`, as it is inserted either into an existing section or with a new one.
std::vector<std::string> forms(const std::string& section, const std::string& entry) {
  return {entry, "<prop.pair>\n<key>" + section + "</key>\n<prop.list>\n" + entry +
                     "</prop.list>\n</prop.pair>\n"};
}

std::string escaped(std::string text) {
  // In the order that keeps ampersands of the other entities intact.
  text = replaced(text, "&", "&amp;");
  text = replaced(text, "<", "&lt;");
  text = replaced(text, ">", "&gt;");
  text = replaced(text, "\"", "&quot;");
  return replaced(text, "'", "&apos;");
}

// An independent statement of what the edit inserts into a document that lacks the bridge.
std::vector<std::vector<std::string>> expected_chunks(const std::string& input,
                                                      const std::string& path) {
  static const std::regex numbered("<key>PluginID[0-9]+</key>");
  const auto n = std::distance(std::sregex_iterator(input.begin(), input.end(), numbered),
                               std::sregex_iterator());
  return {forms("ActivePluginIDs", "<prop.pair>\n<key>PluginID" + std::to_string(n) + "</key>\n" +
                                       id_value + "\n</prop.pair>\n"),
          forms("PluginList", "<prop.pair>\n<key>" + escaped(path) +
                                  "</key>\n<prop.list>\n<prop.pair>\n<key>ID</key>\n" + id_value +
                                  "\n</prop.pair>\n<prop.pair>\n<key>Name</key>\n<ustring>Corvalis "
                                  "Command Bridge</ustring>\n</prop.pair>\n</prop.list>\n"
                                  "</prop.pair>\n"),
          forms("PluginSettingsList",
                "<prop.pair>\n<key>" + id + "</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n")};
}

TEST(AddCommandBridgeProperty, InsertsOnlyTheEntriesOrRefusesAndIsIdempotent) {
  Generator generator(20240611);
  const std::vector<std::string> starts = seeds();
  int edited = 0, refused = 0, unchanged = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string input = round % 5 == 4
                                  ? generator.generated()
                                  : generator.mutated(starts[generator.below(starts.size())]);
    const std::string& path = paths[generator.below(paths.size())];
    std::string result;
    try {
      result = add_command_bridge(input, path);
    } catch (const Failure& failure) {
      ASSERT_STREQ(failure.what(), "Premiere's control surface settings didn't make sense.");
      ASSERT_EQ(input.find(id_value), std::string::npos) << "refused a document with the bridge";
      ++refused;
      continue;
    }
    if (input.find(id_value) != std::string::npos) {
      ASSERT_EQ(result, input);
      ++unchanged;
      continue;
    }
    ASSERT_TRUE(rebuilds(result, input, expected_chunks(input, path))) << "input:\n"
                                                                       << input << "\nresult:\n"
                                                                       << result;
    ASSERT_EQ(add_command_bridge(result, path), result);
    ++edited;
  }
  // Each way out is taken often enough to mean something.
  EXPECT_GT(edited, 400);
  EXPECT_GT(refused, 400);
  EXPECT_GT(unchanged, 200);
}

}  // namespace
