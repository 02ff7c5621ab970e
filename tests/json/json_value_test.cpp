#include "json/json.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

static_assert(!std::is_copy_constructible_v<JsonValue>);
static_assert(!std::is_copy_assignable_v<JsonValue>);
// Without a noexcept move, growing a sequence would have to copy, and copies do not exist.
static_assert(std::is_nothrow_move_constructible_v<JsonValue>);
static_assert(std::is_nothrow_move_assignable_v<JsonValue>);

// Longer than any short-string buffer, so a copy would show up as a different address.
const std::string long_text(100, 'x');

JsonValue number(double n) {
  JsonValue v;
  v.kind = JsonKind::number;
  v.number = n;
  return v;
}

JsonValue string(std::string s) {
  JsonValue v;
  v.kind = JsonKind::string;
  v.text = std::move(s);
  return v;
}

JsonValue object() {
  JsonValue v;
  v.kind = JsonKind::object;
  return v;
}

void expect_empty_null(const JsonValue& v) {
  EXPECT_EQ(v.kind, JsonKind::null);
  EXPECT_EQ(v.number, 0.0);
  EXPECT_TRUE(v.text.empty());
  EXPECT_TRUE(v.elements.empty());
  EXPECT_TRUE(v.members.empty());
}

TEST(JsonValue, AFreshValueIsAnEmptyNull) {
  expect_empty_null(JsonValue());
  EXPECT_EQ(static_cast<int>(JsonKind::object), 5);  // the kinds are numbered as documented
}

TEST(JsonValueMember, AnswersTheFirstOfDuplicateKeysAndKeepsBoth) {
  JsonValue v = object();
  v.members.emplace_back("a", number(1));
  v.members.emplace_back("a", number(2));
  EXPECT_EQ(v.member("a").number, 1.0);
  ASSERT_EQ(v.members.size(), 2u);
  EXPECT_EQ(v.members[1].second.number, 2.0);
}

TEST(JsonValueMember, ComparesWholeKeysByteForByte) {
  JsonValue v = object();
  v.members.emplace_back("files", number(1));
  v.members.emplace_back(std::string("a\0b", 3), number(2));
  v.members.emplace_back("", number(3));
  EXPECT_EQ(v.member("files").number, 1.0);
  EXPECT_EQ(v.member("Files").kind, JsonKind::null);
  EXPECT_EQ(v.member("file").kind, JsonKind::null);
  EXPECT_EQ(v.member("filess").kind, JsonKind::null);
  // A key holding a zero byte can never equal a zero-terminated name.
  EXPECT_EQ(v.member("a").kind, JsonKind::null);
  EXPECT_EQ(v.member("").number, 3.0);
}

TEST(JsonValueMember, EveryMissAnswersTheOneSharedNull) {
  JsonValue obj = object();
  obj.members.emplace_back("a", number(1));
  JsonValue array;
  array.kind = JsonKind::array;
  array.elements.push_back(number(1));
  // An array holding members is not an object, but lookups only ever read `members`.
  const JsonValue& shared = obj.member("missing");
  expect_empty_null(shared);
  EXPECT_EQ(&array.member("a"), &shared);
  EXPECT_EQ(&string("a").member("a"), &shared);
  EXPECT_EQ(&shared.member("a"), &shared);
  EXPECT_EQ(&JsonValue().member(""), &shared);
  EXPECT_EQ(&obj.member(nullptr), &shared);
}

TEST(JsonValueMember, TheSharedNullIsTheSameOnEveryThread) {
  std::vector<const JsonValue*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &JsonValue().member("x"); });
  for (auto& t : threads) t.join();
  for (const JsonValue* p : seen) EXPECT_EQ(p, &JsonValue().member("y"));
}

TEST(JsonValueMember, ReadsTestNothing) {
  JsonValue v = object();
  JsonValue yes, no;
  yes.kind = no.kind = JsonKind::boolean;
  yes.number = 1.0;
  v.members.emplace_back("yes", std::move(yes));
  v.members.emplace_back("no", std::move(no));
  v.members.emplace_back("n", number(7));
  EXPECT_EQ(v.member("yes").number, 1.0);
  EXPECT_EQ(v.member("no").number, 0.0);
  EXPECT_EQ(v.member("n").text, "");
  EXPECT_EQ(v.member("missing").text, "");
  EXPECT_EQ(v.member("missing").number, 0.0);
  EXPECT_TRUE(v.member("missing").elements.empty());
}

TEST(JsonValueMove, TakesContentsAndLeavesKindAndNumberBehind) {
  JsonValue source = string(long_text);
  source.number = 2.5;  // not a state the parser makes, but a move must carry it anyway
  source.elements.push_back(number(1));
  source.members.emplace_back("k", number(2));
  const char* buffer = source.text.data();

  JsonValue target(std::move(source));
  EXPECT_EQ(target.kind, JsonKind::string);
  EXPECT_EQ(target.number, 2.5);
  EXPECT_EQ(target.text.data(), buffer);  // taken over, not copied
  EXPECT_EQ(target.elements.size(), 1u);
  EXPECT_EQ(target.members.size(), 1u);

  EXPECT_EQ(source.kind, JsonKind::string);
  EXPECT_EQ(source.number, 2.5);
  EXPECT_TRUE(source.text.empty());
  EXPECT_TRUE(source.elements.empty());
  EXPECT_TRUE(source.members.empty());
}

TEST(JsonValueMove, ShortTextIsEmptiedToo) {
  // Short strings live inside the object and are copied by a move; the source must still end
  // up empty.
  JsonValue source = string("ab");
  JsonValue target = number(1);
  target = std::move(source);
  EXPECT_EQ(target.text, "ab");
  EXPECT_EQ(target.kind, JsonKind::string);
  EXPECT_TRUE(source.text.empty());
}

TEST(JsonValueMove, MovingOutOfAnElementLeavesItHollow) {
  JsonValue array;
  array.kind = JsonKind::array;
  array.elements.push_back(number(4));
  array.elements.push_back(string(long_text));
  array.elements[1].elements.push_back(number(5));

  JsonValue taken = std::move(array.elements[1]);
  EXPECT_EQ(taken.text, long_text);
  ASSERT_EQ(array.elements.size(), 2u);
  EXPECT_EQ(array.elements[1].kind, JsonKind::string);
  EXPECT_TRUE(array.elements[1].text.empty());
  EXPECT_TRUE(array.elements[1].elements.empty());

  JsonValue n = std::move(array.elements[0]);
  EXPECT_EQ(array.elements[0].kind, JsonKind::number);
  EXPECT_EQ(array.elements[0].number, 4.0);
}

TEST(JsonValueMove, AssigningADescendantToItsAncestor) {
  // The assigned value lives inside the subtree the assignment destroys.
  JsonValue root = object();
  JsonValue child = object();
  child.members.emplace_back("name", string(long_text));
  root.members.emplace_back("child", std::move(child));
  root.members.emplace_back("other", string(long_text));

  root = std::move(root.members[0].second);
  EXPECT_EQ(root.kind, JsonKind::object);
  ASSERT_EQ(root.members.size(), 1u);
  EXPECT_EQ(root.member("name").text, long_text);

  JsonValue array;
  array.kind = JsonKind::array;
  array.elements.push_back(string(long_text));
  array = std::move(array.elements[0]);
  EXPECT_EQ(array.kind, JsonKind::string);
  EXPECT_EQ(array.text, long_text);
  EXPECT_TRUE(array.elements.empty());
}

TEST(JsonValueMove, SelfAssignmentKeepsTheValue) {
  JsonValue v = string(long_text);
  JsonValue& alias = v;
  v = std::move(alias);
  EXPECT_EQ(v.text, long_text);
}

TEST(JsonValueMove, GrowingASequenceMovesTheValues) {
  JsonValue array;
  array.elements.push_back(string(long_text));
  const char* buffer = array.elements[0].text.data();
  for (int i = 0; i < 100; ++i) array.elements.push_back(number(i));
  EXPECT_EQ(array.elements[0].text.data(), buffer);
}

}  // namespace
