// corvalis-release: the publisher's tool for Corvalis releases (Linux). `corvalis-release --help`
// says what each command and option does; README.md, "Publishing a release", walks through them.

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "failure.h"
#include "release/download.h"
#include "release_tool.h"

namespace {

constexpr const char* usage_text =
    "usage:\n"
    "  corvalis-release keygen --out KEYFILE\n"
    "  corvalis-release publish --key KEYFILE --root HOSTROOT --component loader|app --version V\n"
    "                           --from FOLDER [--no-channel] [--allow-downgrade] [--partial]\n"
    "                           [--trusted-key HEX]\n"
    "  corvalis-release promote --root HOSTROOT --component loader|app --version V\n"
    "                           [--allow-downgrade] [--partial] [--trusted-key HEX]\n"
    "  corvalis-release verify --root HOSTROOT --component loader|app --version V\n"
    "                          [--trusted-key HEX]\n"
    "  corvalis-release sign --key KEYFILE --in FILE\n"
    "  corvalis-release --help\n";

constexpr const char* help_text =
    "\n"
    "keygen   writes a new Ed25519 private key to KEYFILE (never over an existing file) and\n"
    "         prints its public half: the 64 hexadecimal digits that CORVALIS_RELEASE_KEY takes.\n"
    "publish  signs the files beneath FOLDER with KEYFILE as release V of the component in the\n"
    "         host folder HOSTROOT, verifies it, and points the component's channel at it\n"
    "         (loader/latest.json, app/channels/stable.json). The loader is the panel; an app\n"
    "         release holds host/Corvalis.acsrf and host/Corvalis_Importer.prm.\n"
    "promote  points the channel at release V, published before, once it verifies.\n"
    "verify   checks release V with the installer's own code, as an installer trusting the\n"
    "         key would.\n"
    "sign     prints the release.sig text for FILE as it stands (for lists written by other\n"
    "         means; publish signs its own).\n"
    "\n"
    "--no-channel       publish without moving the channel; promote moves it later.\n"
    "--allow-downgrade  let the channel move to a lower version than it names: a roll back.\n"
    "--partial          take an app release without one or both host plug-ins. Users then get\n"
    "                   no copy of a missing plug-in: they keep the one they have, and a new\n"
    "                   user has none; without Corvalis.acsrf the command bridge is not\n"
    "                   switched on.\n"
    "--trusted-key HEX  the public key the installer trusts, when it was built with another key\n"
    "                   than the one this tool trusts:\n"
    "                   %s\n";

int usage_error() {
  std::fputs(usage_text, stderr);
  return 2;
}

int help() {
  std::fputs(usage_text, stdout);
  const PublicKey key = installer_key();
  std::printf(help_text, lowercase_hex(key.data(), key.size()).c_str());
  return 0;
}

// A command's options: those that take a value (the first `required` of them must be given)
// and those that stand alone.
struct CommandOptions {
  std::vector<std::string> values;
  std::size_t required = 0;
  std::set<std::string> flags;
};

const std::map<std::string, CommandOptions> commands = {
    {"keygen", {{"out"}, 1, {}}},
    {"publish",
     {{"key", "root", "component", "version", "from", "trusted-key"},
      5,
      {"no-channel", "allow-downgrade", "partial"}}},
    {"promote",
     {{"root", "component", "version", "trusted-key"}, 3, {"allow-downgrade", "partial"}}},
    {"verify", {{"root", "component", "version", "trusted-key"}, 3, {}}},
    {"sign", {{"key", "in"}, 2, {}}},
};

bool is_help(const std::string& argument) {
  return argument == "--help" || argument == "-h" || argument == "help";
}

// The options' rules for publish and promote; false when --trusted-key is not a key.
bool channel_rules(std::map<std::string, std::string>& options, const std::set<std::string>& flags,
                   ChannelRules& rules) {
  rules.allow_downgrade = flags.count("allow-downgrade") != 0;
  rules.partial = flags.count("partial") != 0;
  return !options.count("trusted-key") ||
         parse_key_hex(options["trusted-key"], rules.trusted_key.data());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error();
  const std::string command = argv[1];
  if (is_help(command)) return help();
  const auto known = commands.find(command);
  if (known == commands.end()) {
    std::fprintf(stderr, "corvalis-release: unknown command \"%s\"\n", command.c_str());
    return usage_error();
  }
  const CommandOptions& allowed = known->second;
  std::map<std::string, std::string> options;
  std::set<std::string> flags;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (is_help(argument)) return help();
    const std::string name = argument.rfind("--", 0) == 0 ? argument.substr(2) : std::string();
    const bool takes_value =
        std::find(allowed.values.begin(), allowed.values.end(), name) != allowed.values.end();
    if (allowed.flags.count(name)) {
      flags.insert(name);
    } else if (takes_value && i + 1 < argc) {
      options[name] = argv[++i];
    } else if (takes_value) {
      std::fprintf(stderr, "corvalis-release %s: %s needs a value\n", command.c_str(),
                   argument.c_str());
      return usage_error();
    } else {
      std::fprintf(stderr, "corvalis-release %s: unknown %s \"%s\"\n", command.c_str(),
                   name.empty() ? "argument" : "option", argument.c_str());
      return usage_error();
    }
  }
  for (std::size_t i = 0; i < allowed.required; ++i) {
    if (!options.count(allowed.values[i])) {
      std::fprintf(stderr, "corvalis-release %s: --%s is missing\n", command.c_str(),
                   allowed.values[i].c_str());
      return usage_error();
    }
  }
  ChannelRules rules;
  if (!channel_rules(options, flags, rules)) {
    std::fprintf(stderr, "corvalis-release %s: --trusted-key takes 64 hexadecimal digits\n",
                 command.c_str());
    return 2;
  }
  const std::string trusted = lowercase_hex(rules.trusted_key.data(), rules.trusted_key.size());

  try {
    if (command == "keygen") {
      std::printf("%s\n", generate_key(options["out"]).c_str());
    } else if (command == "publish") {
      publish_release({options["key"], options["root"], options["component"], options["version"],
                       options["from"], !flags.count("no-channel"), rules});
      std::printf("Published %s %s, signed by %s%s\n", options["component"].c_str(),
                  options["version"].c_str(), trusted.c_str(),
                  flags.count("no-channel") ? "; the channel stays where it was" : "");
    } else if (command == "promote") {
      promote_release(options["root"], options["component"], options["version"], rules);
      std::printf("The %s channel names %s now\n", options["component"].c_str(),
                  options["version"].c_str());
    } else if (command == "sign") {
      std::fputs(sign_document(options["key"], read_file(options["in"])).c_str(), stdout);
    } else if (command == "verify") {
      const std::size_t count = verify_release(options["root"], options["component"],
                                               options["version"], rules.trusted_key.data());
      std::printf("Verified %s %s with the key %s: %zu file(s)\n", options["component"].c_str(),
                  options["version"].c_str(), trusted.c_str(), count);
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
