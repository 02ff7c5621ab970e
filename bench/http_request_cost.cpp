// The fixed cost of one request as the installer makes it: http_get of a small URL, repeated,
// in one process. Prints the mean wall time per request, for bench/whole_run_benchmark.py.
//
//   http_request_cost <url> <count>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "fs/paths.h"
#include "platform/text.h"
#include "release/http_client.h"

int main(int argc, char** argv) {
  const int count = argc == 3 ? std::atoi(argv[2]) : 0;
  if (count < 1) {
    std::fprintf(stderr, "usage: %s <url> <count>\n", argv[0]);
    return 2;
  }
  try {
    const std::u16string url = platform::utf8_to_utf16(argv[1]);
    // The first request opens the shared client; the figure is for the requests after it.
    std::size_t bytes = http_get(url).size();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) bytes += http_get(url).size();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("seconds_per_request %.7f\nbytes %zu\n", seconds.count() / count, bytes);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
}
