#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "failure.h"
#include "json/json.h"

namespace {

using namespace std::string_literals;

const std::string failure_message = "A release list from corvalisplugin.com didn't make sense.";

// Empty when the document is refused with the one failure message, else what went wrong.
std::string refusal_problem(std::string_view document) {
  try {
    parse_json(document);
    return "accepted";
  } catch (const Failure& failure) {
    if (failure.what() != failure_message) return "message: "s + failure.what();
    return "";
  }
}

#define EXPECT_REFUSED(document) \
  EXPECT_EQ(refusal_problem(document), "") << "document: [" << (document) << "]"

std::string nested_arrays(int count, std::string_view innermost = "") {
  return std::string(count, '[') + std::string(innermost) + std::string(count, ']');
}

std::string nested_objects(int count) {
  std::string document;
  for (int i = 0; i < count; ++i) document += "{\"k\":";
  document += "1";
  document += std::string(count, '}');
  return document;
}

// ---------------------------------------------------------------------------------------------
// Accept/reject corpus: structure is strict, numbers and string bytes are lenient.

struct Case {
  const char* document;
  bool accepted;
};

const Case corpus[] = {
    // whitespace and trailing content
    {"", false},
    {" \t\r\n", false},
    {" \t\r\n{}\r\n\t ", true},
    {"{\"a\":1}\n", true},
    {"{\"a\":1} x", false},
    {"{}{}", false},
    {"1 2", false},
    {"\xEF\xBB\xBF{}", false},  // a byte-order mark is not whitespace
    {"\f{}", false},
    {"{}\v", false},
    {"/* c */ {}", false},
    // containers
    {"{}", true},
    {"[]", true},
    {"{ }", true},
    {"[ ]", true},
    {"{", false},
    {"[", false},
    {"}", false},
    {"]", false},
    {"[1", false},
    {"[1,", false},
    {"{\"a\"", false},
    {"{\"a\":", false},
    {"{\"a\":1", false},
    {"{\"a\":1,}", false},
    {"[1,]", false},
    {"[,1]", false},
    {"[,]", false},
    {"{,}", false},
    {"{\"a\" 1}", false},
    {"{\"a\"=1}", false},
    {"{a:1}", false},
    {"{1:1}", false},
    {"[1 2]", false},
    {"[1;2]", false},
    {"[1,2}", false},
    {"{\"a\":1]", false},
    {"[[[]]", false},
    {"{\"a\":[{\"b\":[]}],\"c\":{}}", true},
    {" { \"a\" : [ 1 , 2 ] , \"b\" : { } } ", true},
    // literals
    {"true", true},
    {"false", true},
    {"null", true},
    {"tru", false},
    {"nul", false},
    {"True", false},
    {"NULL", false},
    {"truex", false},
    {"[truex]", false},
    {"[true,false,null]", true},
    {"[truefalse]", false},
    {"[null]", true},
    // numbers
    {"0", true},
    {"-", true},
    {"+", true},
    {".", true},
    {"e", true},
    {"1-2", true},
    {"--", true},
    {"[-]", true},
    {"[-x]", false},
    {"x", false},
    {"NaN", false},
    {"Infinity", false},
    {"0x10", false},
    {"[1,-x]", false},
    // strings
    {"\"\"", true},
    {"\"abc\"", true},
    {"\"abc", false},
    {"\"", false},
    {"\"\\", false},
    {"\"\\\"", false},
    {"\"\\x\"", false},
    {"\"\\U0041\"", false},
    {"\"\\'\"", false},
    {"\"\\u12\"", false},
    {"\"\\u12", false},
    {"\"\\u12G4\"", false},
    {"\"\\u0041\"", true},
    {"\"\\ud83d\\u\"", false},
    {"\"\\ud83d\\uZZZZ\"", false},
    {"\"\\ud83d\\\"", false},  // a backslash and quote after a high surrogate: no second code
    {"\"\xFF\xFE\x01\"", true},
    {"'a'", false},
    {"{\"\":1}", true},
};

TEST(ParseJson, Corpus) {
  for (const Case& c : corpus) {
    if (c.accepted) {
      EXPECT_NO_THROW(parse_json(c.document)) << "document: [" << c.document << "]";
    } else {
      EXPECT_REFUSED(c.document);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Trees

TEST(ParseJson, BuildsTheTreeInDocumentOrder) {
  const JsonValue v =
      parse_json(R"({"version":"1.2","files":[{"path":"a/b","size":12},{"path":"c"}],"x":null})");
  EXPECT_EQ(v.kind, JsonKind::object);
  ASSERT_EQ(v.members.size(), 3u);
  EXPECT_EQ(v.members[0].first, "version");
  EXPECT_EQ(v.members[1].first, "files");
  EXPECT_EQ(v.members[2].first, "x");
  EXPECT_EQ(v.member("version").text, "1.2");
  const JsonValue& files = v.member("files");
  EXPECT_EQ(files.kind, JsonKind::array);
  ASSERT_EQ(files.elements.size(), 2u);
  EXPECT_EQ(files.elements[0].member("path").text, "a/b");
  EXPECT_EQ(files.elements[0].member("size").number, 12.0);
  EXPECT_EQ(files.elements[1].member("path").text, "c");
  EXPECT_EQ(files.elements[1].member("size").kind, JsonKind::null);
  EXPECT_EQ(v.member("x").kind, JsonKind::null);
  EXPECT_EQ(&v.member("x"), &v.members[2].second);  // a real null, not the shared one
}

TEST(ParseJson, EmptyContainers) {
  for (const char* document : {"{}", "{ }", "\n{\t}\r"}) {
    const JsonValue v = parse_json(document);
    EXPECT_EQ(v.kind, JsonKind::object);
    EXPECT_TRUE(v.members.empty());
  }
  for (const char* document : {"[]", "[ ]"}) {
    const JsonValue v = parse_json(document);
    EXPECT_EQ(v.kind, JsonKind::array);
    EXPECT_TRUE(v.elements.empty());
  }
}

TEST(ParseJson, KeepsDuplicateKeysInOrder) {
  const JsonValue v = parse_json(R"({"a":1,"a":2})");
  ASSERT_EQ(v.members.size(), 2u);
  EXPECT_EQ(v.members[0].first, "a");
  EXPECT_EQ(v.members[0].second.number, 1.0);
  EXPECT_EQ(v.members[1].first, "a");
  EXPECT_EQ(v.members[1].second.number, 2.0);
  EXPECT_EQ(v.member("a").number, 1.0);
}

TEST(ParseJson, Literals) {
  const JsonValue t = parse_json("true");
  EXPECT_EQ(t.kind, JsonKind::boolean);
  EXPECT_EQ(t.number, 1.0);
  const JsonValue f = parse_json(" false ");
  EXPECT_EQ(f.kind, JsonKind::boolean);
  EXPECT_EQ(f.number, 0.0);
  const JsonValue n = parse_json("null");
  EXPECT_EQ(n.kind, JsonKind::null);
  const JsonValue a = parse_json("[true,false,null]");
  ASSERT_EQ(a.elements.size(), 3u);
  EXPECT_EQ(a.elements[0].number, 1.0);
  EXPECT_EQ(a.elements[1].kind, JsonKind::boolean);
  EXPECT_EQ(a.elements[2].kind, JsonKind::null);
}

TEST(ParseJson, TheTreeDoesNotReferToTheDocument) {
  auto document = std::make_unique<std::string>(R"({"key":"a value longer than a short string"})");
  const JsonValue v = parse_json(*document);
  document.reset();  // the sanitizer build catches any reference into it
  EXPECT_EQ(v.members[0].first, "key");
  EXPECT_EQ(v.member("key").text, "a value longer than a short string");
}

TEST(ParseJson, ManyElementsAndMembers) {
  std::string document = "[";
  for (int i = 0; i < 100000; ++i)
    document += (i ? ",{\"n\":" : "{\"n\":") + std::to_string(i) + "}";
  document += "]";
  const JsonValue v = parse_json(document);
  ASSERT_EQ(v.elements.size(), 100000u);
  EXPECT_EQ(v.elements[99999].member("n").number, 99999.0);
}

// ---------------------------------------------------------------------------------------------
// Depth

TEST(ParseJsonDepth, ThirtyThreeLevelsOfNestingAtMost) {
  // The outermost value is at depth 0, so 33 nested arrays put the innermost at depth 32.
  JsonValue v = parse_json(nested_arrays(33));
  for (int depth = 0; depth < 32; ++depth) {
    ASSERT_EQ(v.elements.size(), 1u) << depth;
    JsonValue inner = std::move(v.elements[0]);
    v = std::move(inner);
  }
  EXPECT_EQ(v.kind, JsonKind::array);
  EXPECT_TRUE(v.elements.empty());

  EXPECT_REFUSED(nested_arrays(34));
  EXPECT_REFUSED(nested_arrays(33, "1"));  // the element would be at depth 33
  EXPECT_REFUSED(nested_arrays(33, "[]"));
  EXPECT_NO_THROW(parse_json(nested_arrays(32, "1")));
  // Objects count the same way: each member value is one level deeper.
  EXPECT_NO_THROW(parse_json(nested_objects(32)));
  EXPECT_REFUSED(nested_objects(33));
}

TEST(ParseJsonDepth, RefusedBeforeTheInputIsLookedAt) {
  // The limit fires even where the value at depth 33 would itself be malformed or missing.
  EXPECT_REFUSED(nested_arrays(33, "x"));
  EXPECT_REFUSED(std::string(33, '['));
}

TEST(ParseJsonDepth, HostileNestingIsRefusedWithoutExhaustingTheStack) {
  EXPECT_REFUSED(std::string(1000000, '['));
  EXPECT_REFUSED(nested_arrays(100000));
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_REFUSED(objects);
}

// ---------------------------------------------------------------------------------------------
// Numbers

double number_of(std::string_view document) {
  const JsonValue v = parse_json(document);
  EXPECT_EQ(v.kind, JsonKind::number) << document;
  return v.number;
}

TEST(ParseJsonNumber, ConvertsTheLongestDecimalPrefixOfTheRun) {
  EXPECT_EQ(number_of("1e3"), 1000.0);
  EXPECT_EQ(number_of("-0.5"), -0.5);
  EXPECT_EQ(number_of("1-2"), 1.0);
  EXPECT_EQ(number_of("+"), 0.0);
  EXPECT_EQ(number_of("+5"), 5.0);
  EXPECT_EQ(number_of("+-5"), 0.0);
  EXPECT_EQ(number_of("++5"), 0.0);
  EXPECT_EQ(number_of("-+5"), 0.0);
  EXPECT_EQ(number_of("e"), 0.0);
  EXPECT_EQ(number_of("E5"), 0.0);
  EXPECT_EQ(number_of("."), 0.0);
  EXPECT_EQ(number_of(".5"), 0.5);
  EXPECT_EQ(number_of("5."), 5.0);
  EXPECT_EQ(number_of("1e"), 1.0);
  EXPECT_EQ(number_of("1e+"), 1.0);
  EXPECT_EQ(number_of("1E+2"), 100.0);
  EXPECT_EQ(number_of("2e-1"), 0.2);
  EXPECT_EQ(number_of("1.5.5"), 1.5);
  EXPECT_EQ(number_of("12.5e-1.3"), 1.25);
  EXPECT_EQ(number_of("007"), 7.0);
  EXPECT_EQ(number_of("1234567890123"), 1234567890123.0);
  EXPECT_EQ(number_of("0.1"), 0.1);  // correctly rounded, the full stop as decimal point
  EXPECT_TRUE(std::signbit(number_of("-0")));
}

TEST(ParseJsonNumber, OutOfRangeGivesInfinityOrZero) {
  EXPECT_EQ(number_of("1e400"), HUGE_VAL);
  EXPECT_EQ(number_of("-1e400"), -HUGE_VAL);
  EXPECT_EQ(number_of("+1e400"), HUGE_VAL);
  EXPECT_EQ(number_of("1.7976931348623159e308"), HUGE_VAL);
  EXPECT_EQ(number_of("0.000001e314"), 1e308);
  EXPECT_EQ(number_of("1000e306"), HUGE_VAL);
  EXPECT_EQ(number_of("1e99999999999999999999"), HUGE_VAL);
  EXPECT_EQ(number_of("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(number_of("-1e-400")));
  EXPECT_EQ(number_of("-1e-400"), 0.0);
  EXPECT_EQ(number_of("0.0000001e-320"), 0.0);
  EXPECT_EQ(number_of("100000000000000e-333"), 1e-319);  // subnormal, not zero
  EXPECT_EQ(number_of("1e-99999999999999999999"), 0.0);
  EXPECT_EQ(number_of("0e99999"), 0.0);
  EXPECT_EQ(number_of("4e-320"), 4e-320);  // subnormals are values, not out of range
}

TEST(ParseJsonNumber, AgreesWithTheCLibraryOnRandomRuns) {
  // The test process never changes the C locale, so strtod is the classic conversion here: an
  // independent implementation of "the longest decimal prefix counts".
  const std::string_view bytes = "+-.eE0123456789";
  std::uint32_t state = 12345;
  const auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
  for (int i = 0; i < 20000; ++i) {
    std::string run;
    const std::uint32_t length = 1 + next() % 12;
    // Mostly digits, so that long valid prefixes and huge exponents both turn up.
    for (std::uint32_t j = 0; j < length; ++j) {
      run += next() % 3 ? bytes[5 + next() % 10] : bytes[next() % 5];
    }
    if (next() % 4 == 0) run += "e" + std::to_string(next() % 700) + ".5";
    const double expected = std::strtod(run.c_str(), nullptr);
    EXPECT_EQ(number_of(run), expected) << run;
  }
}

TEST(ParseJsonNumber, TheRestOfTheRunIsConsumedAndTheNextByteJudgedByContext) {
  // "-x": the run "-" gives 0.0, then the letter must fit the context.
  EXPECT_REFUSED("-x");
  EXPECT_REFUSED("[-x]");
  const JsonValue a = parse_json("[-,1e3-,1-2]");
  ASSERT_EQ(a.elements.size(), 3u);
  EXPECT_EQ(a.elements[0].kind, JsonKind::number);
  EXPECT_EQ(a.elements[0].number, 0.0);
  EXPECT_EQ(a.elements[1].number, 1000.0);
  EXPECT_EQ(a.elements[2].number, 1.0);
  const JsonValue o = parse_json(R"({"a":-})");
  EXPECT_EQ(o.member("a").kind, JsonKind::number);
  EXPECT_REFUSED("x");
  EXPECT_REFUSED("[1x]");
}

// ---------------------------------------------------------------------------------------------
// Strings

std::string text_of(std::string_view document) {
  const JsonValue v = parse_json(document);
  EXPECT_EQ(v.kind, JsonKind::string) << document;
  return v.text;
}

TEST(ParseJsonString, SimpleEscapes) {
  EXPECT_EQ(text_of(R"("\"\/\\\b\f\n\r\t")"), "\"/\\\b\f\n\r\t");
  EXPECT_EQ(text_of(R"("a\\nb")"), "a\\nb");
  EXPECT_REFUSED(R"("\x")");
  EXPECT_REFUSED(R"("\a")");
  EXPECT_REFUSED(R"("\0")");
}

TEST(ParseJsonString, UnicodeEscapesBecomeUtf8) {
  EXPECT_EQ(text_of(R"("\u0041")"), "A");
  EXPECT_EQ(text_of(R"("\u007f\u0080")"), "\x7F\xC2\x80");
  EXPECT_EQ(text_of(R"("\u00e9\u00E9")"), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(text_of(R"("\u07FF\u0800")"), "\xDF\xBF\xE0\xA0\x80");
  EXPECT_EQ(text_of(R"("\uFFFF")"), "\xEF\xBF\xBF");
  EXPECT_EQ(text_of(R"("\u0000")"), "\0"s);
  EXPECT_REFUSED(R"("\u12)");
  EXPECT_REFUSED(R"("\u12")");  // the quote is not a fourth digit
  EXPECT_REFUSED(R"("\u12G4")");
  EXPECT_REFUSED(R"("\u-123")");
}

TEST(ParseJsonString, SurrogatePairsCombine) {
  EXPECT_EQ(text_of(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(text_of(R"("\uD800\uDC00")"), "\xF0\x90\x80\x80");
  EXPECT_EQ(text_of(R"("\uDBFF\uDFFF")"), "\xF4\x8F\xBF\xBF");
  // A high surrogate without a following \u escape, and a lone low one, stay as they are.
  EXPECT_EQ(text_of(R"("\ud83d")"), "\xED\xA0\xBD");
  EXPECT_EQ(text_of(R"("\ud83dx")"), "\xED\xA0\xBDx");
  EXPECT_EQ(text_of(R"("\ud83d\n")"), "\xED\xA0\xBD\n");
  EXPECT_EQ(text_of(R"("\ude00\ud83d")"), "\xED\xB8\x80\xED\xA0\xBD");
  // The second code is combined whatever it is; the result stays within four bytes.
  EXPECT_EQ(text_of(R"("\uD800\u0000")"), "\xE2\x90\x80");      // 0x2400
  EXPECT_EQ(text_of(R"("\uDBFF\uFFFF")"), "\xF4\x91\xBF\xBF");  // 0x111FFF
  EXPECT_REFUSED(R"("\ud83d\u12")");
  EXPECT_REFUSED(R"("\ud83d\ude0)");
}

TEST(ParseJsonString, OtherBytesAreKeptUnchanged) {
  EXPECT_EQ(text_of("\"a\nb\""), "a\nb");
  EXPECT_EQ(text_of("\"\t\x01\x7F\""), "\t\x01\x7F");
  EXPECT_EQ(text_of("\"\xC3\xA9\xFF\xC0\""), "\xC3\xA9\xFF\xC0");  // not validated as UTF-8
  EXPECT_EQ(text_of("\"a\0b\""s), "a\0b"s);
  EXPECT_REFUSED("\0"s);
  EXPECT_REFUSED("{}\0"s);
}

TEST(ParseJsonString, KeysDecodeLikeValues) {
  const JsonValue v = parse_json(R"({ "\u0066iles" : 1, "a\u0000b":2 })");
  EXPECT_EQ(v.member("files").number, 1.0);
  EXPECT_EQ(v.members[1].first, "a\0b"s);
  EXPECT_EQ(v.member("a").kind, JsonKind::null);
}

}  // namespace
