// corvalis-release: the publisher's tool for Corvalis releases (Linux).
//
//   corvalis-release keygen --out KEYFILE
//   corvalis-release publish --key KEYFILE --root HOSTROOT --component loader|app --version V
//                            --from FOLDER [--no-channel]
//   corvalis-release verify --root HOSTROOT --component loader|app --version V [--key HEX]
//   corvalis-release sign --key KEYFILE --in FILE
//
// keygen prints the public key as the 64 hexadecimal digits CORVALIS_RELEASE_KEY takes.
// publish writes the release and, unless --no-channel, points the channel document at it.
// verify checks a published release with the installer's own code, against the key built into
// this tool (the one the installer of the same build trusts) unless --key names another.
// sign prints the release.sig text for FILE as it stands, whatever it holds (for lists written
// by other means; publish signs its own).

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "failure.h"
#include "release/release_key.h"
#include "release_tool.h"

namespace {

int usage() {
  std::fputs(
      "usage:\n"
      "  corvalis-release keygen --out KEYFILE\n"
      "  corvalis-release publish --key KEYFILE --root HOSTROOT --component loader|app\n"
      "                           --version V --from FOLDER [--no-channel]\n"
      "  corvalis-release verify --root HOSTROOT --component loader|app --version V [--key HEX]\n"
      "  corvalis-release sign --key KEYFILE --in FILE\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::map<std::string, std::string> options;
  bool update_channel = true;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--no-channel") {
      update_channel = false;
    } else if (option == "--channel") {
      update_channel = true;
    } else if (option.rfind("--", 0) == 0 && i + 1 < argc) {
      options[option.substr(2)] = argv[++i];
    } else {
      std::fprintf(stderr, "corvalis-release: unexpected argument \"%s\"\n", option.c_str());
      return usage();
    }
  }
  auto need = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (!options.count(name)) {
        std::fprintf(stderr, "corvalis-release %s: --%s is missing\n", command.c_str(), name);
        return false;
      }
    }
    return true;
  };

  try {
    if (command == "keygen") {
      if (!need({"out"})) return usage();
      std::printf("%s\n", generate_key(options["out"]).c_str());
    } else if (command == "publish") {
      if (!need({"key", "root", "component", "version", "from"})) return usage();
      publish_release({options["key"], options["root"], options["component"], options["version"],
                       options["from"], update_channel});
      std::printf("Published %s %s, signed by %s\n", options["component"].c_str(),
                  options["version"].c_str(), public_key_hex(options["key"]).c_str());
    } else if (command == "sign") {
      if (!need({"key", "in"})) return usage();
      std::ifstream in(options["in"], std::ios::binary);
      if (!in.is_open()) {
        std::fprintf(stderr, "corvalis-release sign: can't read %s\n", options["in"].c_str());
        return 1;
      }
      std::ostringstream document;
      if (in.peek() != std::ifstream::traits_type::eof()) document << in.rdbuf();
      std::fputs(sign_document(options["key"], document.str()).c_str(), stdout);
    } else if (command == "verify") {
      if (!need({"root", "component", "version"})) return usage();
      std::uint8_t key[32];
      if (options.count("key")) {
        if (!parse_key_hex(options["key"], key)) {
          std::fputs("corvalis-release verify: --key takes 64 hexadecimal digits\n", stderr);
          return 2;
        }
      } else {
        std::copy(std::begin(release_signing_key), std::end(release_signing_key), key);
      }
      const std::size_t count =
          verify_release(options["root"], options["component"], options["version"], key);
      std::printf("Verified %s %s: %zu file(s)\n", options["component"].c_str(),
                  options["version"].c_str(), count);
    } else {
      return usage();
    }
  } catch (const ToolError& error) {
    std::fprintf(stderr, "corvalis-release %s: %s\n", command.c_str(), error.what());
    return 1;
  } catch (const Failure& failure) {
    // Digests come from the installer's own code, which reports a failing hash this way.
    std::fprintf(stderr, "corvalis-release %s: %s\n", command.c_str(), failure.what());
    return 1;
  }
  return 0;
}
