#include "premiere/settings_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"

namespace {

const std::string senseless = "Premiere's control surface settings didn't make sense.";
const std::string path =
    "C:\\Program Files\\Adobe\\Common\\Plug-ins\\ControlSurface\\Corvalis.acsrf";
const std::string id_value = "<ustring>com.corvalisplugin.commands</ustring>";

std::string lines(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& line : list) text += line + "\n";
  return text;
}

std::string template_lines(int first, int last) {
  std::vector<std::string> all;
  std::string_view rest = settings_template;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    all.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  return lines(std::vector<std::string>(all.begin() + first - 1, all.begin() + last));
}

std::size_t count(std::string_view text, std::string_view piece) {
  std::size_t found = 0;
  for (std::size_t at = text.find(piece); at != std::string_view::npos;
       at = text.find(piece, at + 1)) {
    ++found;
  }
  return found;
}

// The message of the Failure `edit` raises, or "" when it raises none.
template <typename Edit>
std::string failure_of(Edit edit) {
  try {
    edit();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "";
}

std::string entry_a(int n) {
  return "<prop.pair>\n<key>PluginID" + std::to_string(n) + "</key>\n" + id_value +
         "\n</prop.pair>\n";
}

TEST(SettingsTemplate, IsTwentyFourLinesOfAscii) {
  EXPECT_EQ(settings_template.size(), 402u);
  EXPECT_EQ(count(settings_template, "\n"), 24u);
  EXPECT_EQ(settings_template.back(), '\n');
  EXPECT_EQ(settings_template.find('\r'), std::string_view::npos);
  for (const char c : settings_template) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
}

TEST(AddCommandBridge, EditsTheTemplateIntoTheWorkedExample) {
  const std::string expected =
      template_lines(1, 6) +
      lines({"<prop.pair>", "<key>PluginID0</key>", id_value, "</prop.pair>"}) +
      template_lines(7, 11) +
      lines({"<prop.pair>", "<key>" + path + "</key>", "<prop.list>", "<prop.pair>",
             "<key>ID</key>", id_value, "</prop.pair>", "<prop.pair>", "<key>Name</key>",
             "<ustring>Corvalis Command Bridge</ustring>", "</prop.pair>", "</prop.list>",
             "</prop.pair>"}) +
      template_lines(12, 16) +
      lines({"<prop.pair>", "<key>com.corvalisplugin.commands</key>", "<prop.list>", "</prop.list>",
             "</prop.pair>"}) +
      template_lines(17, 24);
  EXPECT_EQ(count(expected, "\n"), 46u);

  const std::string edited = add_command_bridge(settings_template, path);
  EXPECT_EQ(edited, expected);
  EXPECT_EQ(add_command_bridge(edited, path), edited);
  EXPECT_EQ(add_command_bridge(edited, "D:\\elsewhere.acsrf"), edited);
}

TEST(AddCommandBridge, AnyMentionOfTheIdentifierLeavesTheDocumentAlone) {
  // Listed as a plug-in but not active: still left exactly as it is.
  const std::string listed =
      "<prop.list>\n<prop.pair>\n<key>ActivePluginIDs</key>\n<prop.list>\n</prop.list>\n"
      "</prop.pair>\n<prop.pair>\n<key>PluginList</key>\n<prop.list>\n<prop.pair>\n<key>x</key>\n"
      "<prop.list>\n<prop.pair>\n<key>ID</key>\n" +
      id_value +
      "\n</prop.pair>\n</prop.list>\n</prop.pair>\n</prop.list>\n</prop.pair>\n"
      "</prop.list>\n";
  EXPECT_EQ(add_command_bridge(listed, path), listed);
  // Even a document the edit could not otherwise make sense of.
  EXPECT_EQ(add_command_bridge("junk " + id_value, path), "junk " + id_value);
}

TEST(AddCommandBridge, NumbersTheNewKeyByCountingNumberedKeys) {
  const auto new_key = [](const std::string& members) {
    const std::string document =
        "<prop.list>\n<prop.pair>\n<key>ActivePluginIDs</key>\n<prop.list>\n" + members +
        "</prop.list>\n</prop.pair>\n</prop.list>\n";
    const std::string edited = add_command_bridge(document, path);
    const std::size_t at = edited.find(id_value);
    const std::size_t key = edited.rfind("<key>", at);
    return edited.substr(key, at - key);
  };
  const auto pair = [](const std::string& key) {
    return "<prop.pair>\n<key>" + key + "</key>\n<ustring>other</ustring>\n</prop.pair>\n";
  };
  EXPECT_EQ(new_key(""), "<key>PluginID0</key>\n");
  EXPECT_EQ(new_key(pair("PluginID0") + pair("PluginID1")), "<key>PluginID2</key>\n");
  // The count, not one more than the highest number.
  EXPECT_EQ(new_key(pair("PluginID0") + pair("PluginID5")), "<key>PluginID2</key>\n");
  // Unless a key already has that number: then the smallest larger number none has, so that no
  // two keys are equal. "PluginID01" has the number 1.
  EXPECT_EQ(new_key(pair("PluginID1")), "<key>PluginID2</key>\n");
  EXPECT_EQ(new_key(pair("PluginID01")), "<key>PluginID2</key>\n");
  EXPECT_EQ(new_key(pair("PluginID2") + pair("PluginID3") + pair("PluginID5")),
            "<key>PluginID4</key>\n");
  // No digits, or anything after them, and the key is not counted.
  EXPECT_EQ(new_key(pair("PluginID") + pair("PluginID3a") + pair("PluginID 4") + pair("pluginID5") +
                    pair("PluginIDx6")),
            "<key>PluginID0</key>\n");
  EXPECT_EQ(new_key(pair("PluginID007")), "<key>PluginID1</key>\n");
  // Keys anywhere in the document count, and an unterminated one at the very end does not.
  const std::string elsewhere =
      "<prop.list>\n<prop.pair>\n<key>ActivePluginIDs</key>\n<prop.list>\n</prop.list>\n"
      "</prop.pair>\n<prop.pair>\n<key>Other</key>\n<prop.list>\n" +
      pair("PluginID9") + "</prop.list>\n</prop.pair>\n</prop.list>\n<key>PluginID12";
  EXPECT_NE(add_command_bridge(elsewhere, path).find("<key>PluginID1</key>\n" + id_value),
            std::string::npos);
}

TEST(AddCommandBridge, CreatesMissingSectionsBeforeTheLastClosingTag) {
  const std::string document =
      "<prop.map>\n<prop.list>\n<prop.pair>\n<key>ActivePluginIDs</key>\n<prop.list>\n"
      "</prop.list>\n</prop.pair>\n<prop.pair>\n<key>PluginList</key>\n<prop.list>\n"
      "</prop.list>\n</prop.pair>\n</prop.list>\n</prop.map>\n";
  const std::string edited = add_command_bridge(document, "p");
  const std::string section =
      "<prop.pair>\n<key>PluginSettingsList</key>\n<prop.list>\n<prop.pair>\n"
      "<key>com.corvalisplugin.commands</key>\n<prop.list>\n</prop.list>\n</prop.pair>\n"
      "</prop.list>\n</prop.pair>\n";
  EXPECT_TRUE(edited.ends_with(section + "</prop.list>\n</prop.map>\n")) << edited;

  // A document with only an outermost list receives all three sections, in edit order.
  const std::string bare = add_command_bridge("<prop.list>\n</prop.list>\n", "p");
  const std::size_t active = bare.find("<key>ActivePluginIDs</key>\n<prop.list>\n" + entry_a(0));
  const std::size_t list =
      bare.find("<key>PluginList</key>\n<prop.list>\n<prop.pair>\n<key>p</key>");
  const std::size_t settings = bare.find("<key>PluginSettingsList</key>");
  EXPECT_TRUE(active != std::string::npos && active < list && list < settings) << bare;
  EXPECT_TRUE(bare.starts_with("<prop.list>\n<prop.pair>\n") && bare.ends_with("</prop.list>\n"));
}

TEST(AddCommandBridge, AppendsAfterTheLastMemberNotInsideIt) {
  const std::string other =
      "<prop.pair>\n<key>C:\\other.acsrf</key>\n<prop.list>\n<prop.pair>\n<key>ID</key>\n"
      "<ustring>other</ustring>\n</prop.pair>\n<prop.pair>\n<key>Deep</key>\n<prop.list>\n"
      "<prop.list>\n</prop.list>\n</prop.list>\n</prop.pair>\n</prop.list>\n</prop.pair>\n";
  const std::string list = "<key>PluginList</key>\n<prop.list>\n";
  std::string document(settings_template);
  document.insert(document.find(list) + list.size(), other);
  const std::string edited = add_command_bridge(document, "p");
  EXPECT_NE(edited.find(other + "<prop.pair>\n<key>p</key>\n"), std::string::npos) << edited;
  EXPECT_NE(
      edited.find("</prop.pair>\n</prop.list>\n</prop.pair>\n<prop.pair>\n<key>PluginSettingsList"),
      std::string::npos);
}

TEST(AddCommandBridge, MatchesKeysExactly) {
  for (const std::string wrong : {"<Key>PluginList</Key>", "<key> PluginList</key>",
                                  "<key>pluginlist</key>", "<key>PluginList </key>"}) {
    std::string document(settings_template);
    document.replace(document.find("<key>PluginList</key>"), 21, wrong);
    const std::string edited = add_command_bridge(document, "p");
    // The wrongly spelled pair is left as it was and a correct section is created at the end.
    EXPECT_EQ(count(edited, wrong), 1u);
    EXPECT_NE(edited.find("<key>PluginList</key>\n<prop.list>\n<prop.pair>\n<key>p</key>"),
              std::string::npos)
        << wrong;
    EXPECT_GT(edited.find("<key>PluginList</key>"), edited.find("<key>SettingsVersion</key>"));
  }
}

TEST(AddCommandBridge, EscapesThePathAndKeepsItsUtf8) {
  const std::string edited =
      add_command_bridge(settings_template, "C:\\Programme & \"Co\" <'x'>\\Caf\xC3\xA9.acsrf");
  EXPECT_NE(edited.find("<key>C:\\Programme &amp; &quot;Co&quot; &lt;&apos;x&apos;&gt;\\Caf\xC3\xA9"
                        ".acsrf</key>"),
            std::string::npos);
}

TEST(AddCommandBridge, KeepsCarriageReturnsAndOtherBytesWhereTheyAre) {
  std::string crlf;
  for (const char c : settings_template)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  crlf.insert(crlf.find("<key>PluginList"), "<!-- \xE2\x82\xAC caf\xC3\xA9 -->\r\n");
  const std::string edited = add_command_bridge(crlf, path);
  // Every carriage return is an original one: the edit only ever inserts bare line feeds.
  EXPECT_EQ(count(edited, "\r"), count(crlf, "\r"));
  EXPECT_EQ(count(edited, "\n") - count(edited, "\r\n"), 22u);
  EXPECT_NE(edited.find("<!-- \xE2\x82\xAC caf\xC3\xA9 -->\r\n<key>PluginList"), std::string::npos);
  EXPECT_NE(edited.find("<prop.list>\r\n" + entry_a(0) + "</prop.list>\r\n"), std::string::npos);
  EXPECT_EQ(add_command_bridge(edited, path), edited);
}

TEST(AddCommandBridge, RefusesDocumentsWithoutSections) {
  for (const std::string document :
       {"", "hello", "<prop.list>", "\xEF\xBB\xBF", "<key>ActivePluginIDs</key>",
        // The key is there but no list follows it.
        "<key>ActivePluginIDs</key>\n</prop.list>",
        // The closing tags run out before the section's list is closed.
        "<key>ActivePluginIDs</key>\n<prop.list>\n<prop.list>\n</prop.list>\n"}) {
    EXPECT_EQ(failure_of([&] { add_command_bridge(document, path); }), senseless)
        << "accepted: " << document;
  }
}

TEST(AddCommandBridge, RefusesSectionListsItCannotTrust) {
  const std::string list = "<key>PluginList</key>\n<prop.list>\n";
  for (const std::string& form : std::vector<std::string>{
           // The section's own list written another way: the next list is someone else's.
           "<key>PluginList</key>\n<prop.list/>\n<prop.list>\n",
           "<key>PluginList</key>\n<prop.list version='1'>\n<prop.list>\n",
           "<key>PluginList</key>\n<prop.list >\n<prop.list>\n",
           // The key's pair ends, or another pair or key begins, before the list.
           "<key>PluginList</key>\n</prop.pair>\n<prop.pair>\n<prop.list>\n",
           "<key>PluginList</key>\n<prop.pair>\n<prop.list>\n",
           "<key>PluginList</key>\n<key>Other</key>\n<prop.list>\n",
           "<key>PluginList</key>\n</prop.list>\n<prop.list>\n",
           // A nested list whose tags the count would not see.
           list + "<prop.list a='1'>\n</prop.list>\n", list + "<prop.list>\n</prop.list >\n",
           list + "<prop.list\n>\n</prop.list>\n", list + "<prop.list />\n</prop.list>\n"}) {
    std::string document(settings_template);
    document.replace(document.find(list), list.size(), form);
    EXPECT_EQ(failure_of([&] { add_command_bridge(document, path); }), senseless)
        << "accepted: " << form;
  }
}

TEST(AddCommandBridge, PassesOverEmptyListsAndWhateverLeavesTheSectionItsList) {
  // Another plug-in with an empty settings list, as a member of a section and deeper down: the
  // entries still go last into their sections, and nothing else moves.
  const std::string other = "<prop.pair><key>other.plugin</key><prop.list/></prop.pair>\n";
  const std::string other_file = "<prop.pair>\n<key>C:\\other.acsrf</key>\n<prop.list>\n" + other +
                                 "</prop.list>\n</prop.pair>\n";
  const auto after = [](std::string text, const std::string& where, const std::string& what) {
    return text.insert(text.find(where) + where.size(), what);
  };
  const std::string settings_list = "<key>PluginSettingsList</key>\n<prop.list>\n";
  const std::string plugin_list = "<key>PluginList</key>\n<prop.list>\n";
  const std::string edited = add_command_bridge(settings_template, path);
  EXPECT_EQ(add_command_bridge(after(std::string(settings_template), settings_list, other), path),
            after(edited, settings_list, other));
  EXPECT_EQ(
      add_command_bridge(after(std::string(settings_template), plugin_list, other_file), path),
      after(edited, plugin_list, other_file));

  // Comments, text and other elements between a key and its list are left where they are.
  for (const std::string between : {" \r\n\t", "<!-- members -->\n", "<ustring>x</ustring>\n",
                                    "<prop.listing/>\n", "</key>\n"}) {
    std::string document(settings_template);
    document.insert(document.find(plugin_list) + plugin_list.size() - 12, between);
    EXPECT_EQ(add_command_bridge(document, path), after(edited, "<key>PluginList</key>\n", between))
        << between;
  }

  // Another element whose name merely begins like a list's is no list tag.
  std::string document(settings_template);
  document.insert(document.find(plugin_list) + plugin_list.size(),
                  "<prop.listing>x</prop.listing>\n");
  EXPECT_NE(add_command_bridge(document, "p").find("</prop.listing>\n<prop.pair>\n<key>p</key>"),
            std::string::npos);
}

TEST(InsertIntoSection, PutsTheEntryLastInTheNamedSection) {
  const std::string document = "<a><key>S</key> \r\n\t<prop.list><x/></prop.list></a>";
  EXPECT_EQ(insert_into_section(document, "S", "E"),
            "<a><key>S</key> \r\n\t<prop.list><x/>E</prop.list></a>");
  EXPECT_EQ(insert_into_section("<prop.list></prop.list>", "S", "E"),
            "<prop.list><prop.pair>\n<key>S</key>\n<prop.list>\nE</prop.list>\n</prop.pair>\n"
            "</prop.list>");
  // The first occurrence of the key names the section.
  EXPECT_EQ(insert_into_section("<key>S</key><prop.list></prop.list><key>S</key><prop.list>"
                                "</prop.list>",
                                "S", "E"),
            "<key>S</key><prop.list>E</prop.list><key>S</key><prop.list></prop.list>");
  EXPECT_EQ(failure_of([] { insert_into_section("<key>S</key>", "S", "E"); }), senseless);
}

TEST(XmlEscape, ReplacesTheFiveSpecialCharactersOnly) {
  EXPECT_EQ(xml_escape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(xml_escape("&amp;"), "&amp;amp;");
  const std::string untouched =
      std::string("\x01\t\n\r\x7F\xC3\xA9\xF0\x9F\x98\x80\xFF", 13) + std::string(1, '\0');
  EXPECT_EQ(xml_escape(untouched), untouched);
  EXPECT_EQ(xml_escape(""), "");
}

}  // namespace
