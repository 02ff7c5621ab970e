#include "json/json.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "failure.h"
#include "platform/text.h"
#include "product.h"

// ---------------------------------------------------------------------------------------------
// Values

JsonValue::JsonValue(JsonValue&& other) noexcept
    : kind(other.kind),
      number(other.number),
      text(std::move(other.text)),
      elements(std::move(other.elements)),
      members(std::move(other.members)) {
  // A moved-from string is only "valid but unspecified"; callers rely on it being empty.
  other.text.clear();
  other.elements.clear();
  other.members.clear();
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other) return *this;
  // `other` may live inside this value's own subtree (v = std::move(v.elements[0])): take
  // everything out of it before the old subtree, and `other` with it, is destroyed.
  JsonValue taken(std::move(other));
  kind = taken.kind;
  number = taken.number;
  text = std::move(taken.text);
  elements = std::move(taken.elements);
  members = std::move(taken.members);
  return *this;
}

const JsonValue& JsonValue::member(const char* name) const {
  // Created on the first lookup (thread-safe since C++11) and destroyed at exit.
  static const JsonValue shared_null;
  if (name == nullptr) return shared_null;
  const std::string_view wanted(name);
  for (const auto& [key, value] : members) {
    if (key == wanted) return value;
  }
  return shared_null;
}

// ---------------------------------------------------------------------------------------------
// Parser

namespace {

constexpr int max_depth = 32;

bool is_whitespace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// When the prefix [first, last) of a number is out of range, the conversion reports no value;
// the classic conversion answers infinity for too large and zero for too small. Which one it is
// follows from the decimal order of magnitude: first significant digit plus the exponent.
double out_of_range_value(const char* first, const char* last) {
  const bool negative = first != last && *first == '-';
  if (negative) ++first;
  std::int64_t order = 0;
  bool seen_point = false, seen_significant = false;
  const char* p = first;
  for (; p != last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      seen_point = true;
    } else if (!seen_significant) {
      if (*p != '0') {
        seen_significant = true;
        order = seen_point ? order - 1 : 0;
      } else if (seen_point) {
        --order;
      }
    } else if (!seen_point) {
      ++order;
    }
  }
  if (p != last) {
    ++p;  // the 'e'
    bool negative_exponent = false;
    if (p != last && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
    std::int64_t exponent = 0;
    for (; p != last; ++p) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
    }
    order += negative_exponent ? -exponent : exponent;
  }
  const double magnitude = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

// The classic-locale string-to-double conversion of the longest prefix of `run` that forms a
// decimal number, 0.0 when none does. std::from_chars never looks at the locale, but unlike
// strtod it takes no leading plus sign and reports no value when out of range.
double convert_number(std::string_view run) {
  const char* first = run.data();
  const char* const last = first + run.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return 0.0;  // strtod reads "+-1" as no number
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error == std::errc::result_out_of_range) return out_of_range_value(first, end);
  if (error != std::errc()) return 0.0;
  return value;
}

class Parser {
 public:
  explicit Parser(std::string_view document) : document_(document) {}

  JsonValue parse() {
    JsonValue top;
    read_value(top, 0);
    skip_whitespace();
    if (!at_end()) fail();
    return top;
  }

 private:
  [[noreturn]] static void fail() { throw Failure(nonsense_release_list_message); }

  bool at_end() const { return cursor_ == document_.size(); }
  char peek() const { return document_[cursor_]; }
  std::size_t remaining() const { return document_.size() - cursor_; }

  void skip_whitespace() {
    while (!at_end() && is_whitespace(peek())) ++cursor_;
  }

  bool next_bytes_are(std::string_view literal) const {
    return document_.substr(cursor_, literal.size()) == literal;
  }

  // Fills the fresh `value` in place. Recursion goes one level per nesting level and stops at
  // the depth limit, so hostile nesting cannot exhaust the stack.
  void read_value(JsonValue& value, int depth) {
    if (depth > max_depth) fail();
    skip_whitespace();
    if (at_end()) fail();
    switch (peek()) {
      case '{':
        read_object(value, depth);
        return;
      case '[':
        read_array(value, depth);
        return;
      case '"':
        value.kind = JsonKind::string;
        read_string(value.text);
        return;
      default:
        break;
    }
    // A literal is matched on its own bytes; whatever follows is judged by the caller.
    if (next_bytes_are("true")) {
      cursor_ += 4;
      value.kind = JsonKind::boolean;
      value.number = 1.0;
    } else if (next_bytes_are("false")) {
      cursor_ += 5;
      value.kind = JsonKind::boolean;
      value.number = 0.0;
    } else if (next_bytes_are("null")) {
      cursor_ += 4;
    } else {
      read_number(value);
    }
  }

  void read_number(JsonValue& value) {
    const std::size_t start = cursor_;
    while (!at_end() && is_number_byte(peek())) ++cursor_;
    if (cursor_ == start) fail();
    value.kind = JsonKind::number;
    value.number = convert_number(document_.substr(start, cursor_ - start));
  }

  void read_object(JsonValue& value, int depth) {
    ++cursor_;  // '{'
    value.kind = JsonKind::object;
    skip_whitespace();
    if (!at_end() && peek() == '}') {
      ++cursor_;
      return;
    }
    for (;;) {
      std::string key;
      read_string(key);
      skip_whitespace();
      if (at_end() || peek() != ':') fail();
      ++cursor_;
      // Filled where it will stay: the member sequence does not grow while its value is read.
      JsonValue& member = value.members.emplace_back(std::move(key), JsonValue()).second;
      read_value(member, depth + 1);
      skip_whitespace();
      if (at_end() || peek() != ',') break;
      ++cursor_;
    }
    skip_whitespace();
    if (at_end() || peek() != '}') fail();
    ++cursor_;
  }

  void read_array(JsonValue& value, int depth) {
    ++cursor_;  // '['
    value.kind = JsonKind::array;
    skip_whitespace();
    if (!at_end() && peek() == ']') {
      ++cursor_;
      return;
    }
    for (;;) {
      read_value(value.elements.emplace_back(), depth + 1);
      skip_whitespace();
      if (at_end() || peek() != ',') break;
      ++cursor_;
    }
    skip_whitespace();
    if (at_end() || peek() != ']') fail();
    ++cursor_;
  }

  // Four hexadecimal digits at the cursor.
  std::uint32_t read_code() {
    if (remaining() < 4) fail();
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_digit(document_[cursor_++]);
      if (digit < 0) fail();
      code = code << 4 | static_cast<std::uint32_t>(digit);
    }
    return code;
  }

  void read_string(std::string& text) {
    skip_whitespace();
    if (at_end() || peek() != '"') fail();
    ++cursor_;
    for (;;) {
      // Plain bytes are copied in runs up to the next quote or backslash.
      const std::size_t stop = document_.find_first_of("\"\\", cursor_);
      if (stop == std::string_view::npos) fail();  // unterminated
      text.append(document_.data() + cursor_, stop - cursor_);
      cursor_ = stop + 1;
      if (document_[stop] == '"') return;
      if (at_end()) fail();
      switch (document_[cursor_++]) {
        case '"':
          text += '"';
          break;
        case '/':
          text += '/';
          break;
        case '\\':
          text += '\\';
          break;
        case 'b':
          text += '\b';
          break;
        case 'f':
          text += '\f';
          break;
        case 'n':
          text += '\n';
          break;
        case 'r':
          text += '\r';
          break;
        case 't':
          text += '\t';
          break;
        case 'u':
          platform::append_utf8(text, read_escaped_code());
          break;
        default:
          fail();
      }
    }
  }

  // The code of a \u escape whose four digits start at the cursor. A high surrogate followed
  // by another \u escape is combined with it, whatever that second code is.
  std::uint32_t read_escaped_code() {
    std::uint32_t code = read_code();
    if (code >= 0xD800 && code <= 0xDBFF && remaining() >= 2 && document_[cursor_] == '\\' &&
        document_[cursor_ + 1] == 'u') {
      cursor_ += 2;
      const std::uint32_t low = read_code();
      // Unsigned wrap-around gives the same result as the signed formula: at least 0x2400
      // (high 0xD800, low 0x0000) and at most 0x111FFF, so always four UTF-8 bytes or fewer.
      code = (code - 0xD800) * 0x400 + (low - 0xDC00) + 0x10000;
    }
    return code;
  }

  std::string_view document_;
  std::uint64_t cursor_ = 0;
};

}  // namespace

JsonValue parse_json(std::string_view document) {
  return Parser(document).parse();
}
