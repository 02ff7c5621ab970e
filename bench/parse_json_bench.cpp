// How fast parse_json reads a release list the size of a large release (about 1 MB).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "json/json.h"

namespace {

// A release list as the release host writes it, with entries added until it reaches `bytes`.
std::string release_list_of_size(std::size_t bytes) {
  std::string list = "{\n  \"version\": \"3.14.159\",\n  \"files\": [";
  char entry[256];
  for (unsigned i = 0; list.size() < bytes; ++i) {
    // A digest-like text that differs from entry to entry.
    std::string digest;
    for (unsigned j = 0; j < 8; ++j) {
      char word[9];
      std::snprintf(word, sizeof word, "%08x", (i + 1) * 2654435761u ^ j * 40503u);
      digest += word;
    }
    std::snprintf(entry, sizeof entry,
                  "%s\n    {\"path\": \"panel/js/module-%05u.js\", \"size\": %u, "
                  "\"sha256\": \"%s\"}",
                  i == 0 ? "" : ",", i, 1000 + i * 37 % 90000, digest.c_str());
    list += entry;
  }
  list += "\n  ]\n}\n";
  return list;
}

void parse_json_release_list(benchmark::State& state) {
  const std::string list = release_list_of_size(1 << 20);
  for (auto _ : state) {
    JsonValue value = parse_json(list);
    benchmark::DoNotOptimize(value);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(list.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["MB"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
  state.counters["files"] = static_cast<double>(parse_json(list).member("files").elements.size());
}
BENCHMARK(parse_json_release_list)->Unit(benchmark::kMillisecond);

}  // namespace
