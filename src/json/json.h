#pragma once

// The parsed form of the release host's documents. Values own their subtrees outright, are
// moved and never copied, and keep every object member in document order, duplicates included.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class JsonKind : std::int32_t {
  null = 0,
  boolean = 1,
  number = 2,
  string = 3,
  array = 4,
  object = 5
};

struct JsonValue {
  JsonKind kind = JsonKind::null;
  double number = 0.0;              // Number: the value; Boolean: 1.0 or 0.0; otherwise 0.0
  std::string text;                 // String: the decoded bytes; otherwise empty
  std::vector<JsonValue> elements;  // Array: in order
  std::vector<std::pair<std::string, JsonValue>> members;  // Object: in order, duplicates kept

  JsonValue() = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  // A move takes the text and both sequences, leaving them empty; kind and number are copied.
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() = default;

  // The value of the first member whose key has exactly these bytes, or the shared null value
  // (also for values that are not objects). Never fails.
  const JsonValue& member(const char* name) const;
};

// Parses one whole document. Throws Failure("A release list from <host> didn't make sense.")
// for every defect: unexpected end, wrong byte, bad escape, depth above 32, trailing content.
JsonValue parse_json(std::string_view document);
