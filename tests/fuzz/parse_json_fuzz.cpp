// Feeds arbitrary bytes to parse_json. Beyond the sanitizers' checks (no crash, no leak, no
// undefined behaviour) it checks what the parser promises: one failure type with one message,
// no tree deeper than the limit, kinds that fill only their own fields, and numbers that equal
// the C library's classic conversion.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "failure.h"
#include "json/json.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "parse_json broke a promise: %s\n", what);
  std::abort();
}

// The depth of the deepest value below `value`, which is at `depth`; checks each value's fields.
void check_tree(const JsonValue& value, int depth) {
  if (depth > 32) broken("a value deeper than 32");
  if (value.kind != JsonKind::string && !value.text.empty()) broken("text outside a string");
  if (value.kind != JsonKind::array && !value.elements.empty()) broken("elements outside an array");
  if (value.kind != JsonKind::object && !value.members.empty()) broken("members outside an object");
  if (value.kind == JsonKind::boolean && value.number != 0.0 && value.number != 1.0) {
    broken("a boolean that is neither 0 nor 1");
  }
  if ((value.kind == JsonKind::null || value.kind == JsonKind::string ||
       value.kind == JsonKind::array || value.kind == JsonKind::object) &&
      value.number != 0.0) {
    broken("a number outside a number or boolean");
  }
  for (const JsonValue& element : value.elements) check_tree(element, depth + 1);
  for (const auto& [key, member] : value.members) check_tree(member, depth + 1);
}

bool only_number_bytes(std::string_view document) {
  return !document.empty() &&
         document.find_first_not_of("+-.eE0123456789") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  try {
    const JsonValue value = parse_json(document);
    check_tree(value, 0);
    if (only_number_bytes(document)) {
      // The whole document is one run: the program never changes the C locale, so strtod is
      // the classic conversion here.
      const std::string run(document);
      const double expected = std::strtod(run.c_str(), nullptr);
      if (value.kind != JsonKind::number) broken("a number run that is not a number");
      if (std::memcmp(&expected, &value.number, sizeof expected) != 0) {
        std::fprintf(stderr, "run [%s]: strtod %.17g, parse_json %.17g\n", run.c_str(), expected,
                     value.number);
        broken("a number that differs from strtod");
      }
    }
  } catch (const Failure& failure) {
    if (std::strcmp(failure.what(), "A release list from corvalisplugin.com didn't make sense.") !=
        0) {
      broken("another failure message");
    }
  }
  // Anything else thrown escapes and libFuzzer reports it as a crash.
  return 0;
}
