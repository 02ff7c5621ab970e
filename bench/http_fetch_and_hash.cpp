// One download as the installer does it: http_get of a URL, then sha256_hex of the body, in
// one process. Prints the digest, the body size, the wall time of the two calls and the
// process's peak resident memory, for bench/http_benchmark.sh.
//
//   http_fetch_and_hash <url>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <exception>

#include "fs/paths.h"
#include "platform/text.h"
#include "release/download.h"
#include "release/http_client.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <url>\n", argv[0]);
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    const std::string body = http_get(platform::utf8_to_utf16(argv[1]));
    const auto fetched = std::chrono::steady_clock::now();
    const std::string digest = sha256_hex(body);
    const auto end = std::chrono::steady_clock::now();
    const std::chrono::duration<double> seconds = end - start, hashing = end - fetched;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("digest %s\nbytes %zu\nseconds %.4f\nhash_seconds %.4f\npeak_kib %ld\n",
                digest.c_str(), body.size(), seconds.count(), hashing.count(), usage.ru_maxrss);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
}
