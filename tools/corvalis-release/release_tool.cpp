#include "release_tool.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "failure.h"
#include "fs/paths.h"
#include "install/app_stage.h"
#include "install/channel.h"
#include "json/json.h"
#include "platform/http.h"
#include "platform/text.h"
#include "product.h"
#include "release/download.h"
#include "release/release_key.h"
#include "release/release_list.h"

namespace fs = std::filesystem;

namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw ToolError("Can't write " + path.string());
}

Key load_private_key(const fs::path& key_file) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(key_file.c_str(), "rb"));
  if (!file) throw ToolError("Can't read the key file " + key_file.string());
  Key key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    throw ToolError(key_file.string() + " holds no Ed25519 private key in PEM form");
  }
  return key;
}

std::string public_hex(EVP_PKEY* key) {
  std::uint8_t raw[32];
  std::size_t length = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != 32) {
    throw ToolError("OpenSSL could not give the public key");
  }
  return lowercase_hex(raw, 32);
}

std::string base64(const std::uint8_t* bytes, std::size_t length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                      static_cast<int>(length));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::string sign(EVP_PKEY* key, std::string_view message) {
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  std::uint8_t signature[64];
  std::size_t length = sizeof signature;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != 64) {
    throw ToolError("OpenSSL could not sign the release list");
  }
  return base64(signature, 64) + "\n";
}

// A JSON string literal: quotes, backslashes and control bytes escaped, UTF-8 as it is.
std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The installer refuses the path (join_release_path), or would split it at a backslash into
// folders that the publisher's file system does not have.
bool installer_accepts_path(const std::string& path) {
  return path.find('\\') == std::string::npos && !join_release_path(u"root", path).empty();
}

// A name's letters folded for comparison as Windows' file systems compare names: ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic letters in one case. (Windows folds with a full Unicode
// table; the rest of it is rare in file names.)
std::u16string folded(std::string_view path) {
  std::u16string text = platform::utf8_to_utf16(path);
  for (char16_t& c : text) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c >= 0x450 && c <= 0x45F) {
      c = static_cast<char16_t>(c - 0x50);
    } else if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
               c != 0x17F) {
      // Pairs, upper case first: even in 0100-0137 and 014A-0177, odd in 0139-0148 and 0179-017E.
      const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
      if ((c % 2 == 1) != odd_pairs) c = static_cast<char16_t>(c - 1);
    }
  }
  return text;
}

// Why Windows cannot hold the name `segment` (one folder or file name of a release path), or
// empty when it can.
std::string windows_name_problem(std::string_view segment) {
  for (const char c : segment) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("<>\":|?*").find(c) != std::string_view::npos) {
      return "has a character Windows does not allow in a name (<>\":|?* or a control "
             "character)";
    }
  }
  if (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) {
    return "ends a name in a dot or a space, which Windows drops";
  }
  // Device names stay devices whatever extension follows ("nul.txt"), in any case.
  std::string base(segment.substr(0, segment.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const std::set<std::string> devices = {
      "CON",       "PRN",       "AUX",       "NUL",       "CONIN$",    "CONOUT$",  "COM1", "COM2",
      "COM3",      "COM4",      "COM5",      "COM6",      "COM7",      "COM8",     "COM9", "LPT1",
      "LPT2",      "LPT3",      "LPT4",      "LPT5",      "LPT6",      "LPT7",     "LPT8", "LPT9",
      "COM\u00B9", "COM\u00B2", "COM\u00B3", "LPT\u00B9", "LPT\u00B2", "LPT\u00B3"};
  if (devices.count(base)) return "names the device " + base + " on Windows";
  return {};
}

fs::path release_folder(const fs::path& root, std::string_view component,
                        std::string_view version) {
  return root / std::string(component) / std::string(version);
}

void check_component_and_version(std::string_view component, std::string_view version) {
  if (component != "loader" && component != "app") {
    throw ToolError("The component must be \"loader\" or \"app\", not \"" + std::string(component) +
                    "\"");
  }
  const std::string problem = version_problem(version);
  if (!problem.empty()) throw ToolError("The version \"" + std::string(version) + "\" " + problem);
}

// The channel document the installer reads for the component's current version, beneath the
// host root.
std::string channel_name(std::string_view component) {
  return component == "loader" ? "loader/latest.json" : "app/channels/stable.json";
}

fs::path channel_document(const fs::path& root, std::string_view component) {
  return root / channel_name(component);
}

// The version the component's channel names now, empty when there is no channel yet (or none
// the installer could read, which any move mends).
std::string channel_version(const fs::path& root, std::string_view component) {
  std::error_code error;
  const fs::path channel = channel_document(root, component);
  if (!fs::exists(fs::symlink_status(channel, error))) return {};
  try {
    std::string version = parse_json(read_file(channel)).member("version").text;
    return is_version_text(version) ? version : std::string();
  } catch (const Failure&) {
    return {};
  }
}

void check_not_lower(const fs::path& root, std::string_view component, std::string_view version,
                     const ChannelRules& rules) {
  const std::string current = channel_version(root, component);
  if (rules.allow_downgrade || current.empty() || compare_versions(version, current) >= 0) return;
  throw ToolError("The channel " + channel_name(component) + " names " + current + ", and " +
                  std::string(version) +
                  " is lower: every user would be moved back to it. Give --allow-downgrade to "
                  "roll back on purpose");
}

void check_signing_key(const fs::path& key_file, EVP_PKEY* key, const PublicKey& trusted) {
  const std::string signing = public_hex(key);
  const std::string expected = lowercase_hex(trusted.data(), trusted.size());
  if (signing == expected) return;
  throw ToolError("The key in " + key_file.string() + " is " + signing +
                  ", but the installer trusts " + expected +
                  ": every install of this release would fail with \"wasn't signed\". Sign "
                  "with the key the installer trusts, or give --trusted-key when it was built "
                  "with another key than this tool");
}

// An app release must bring what the installer installs: the installer skips a host plug-in
// the list does not name, and would report success having placed nothing.
void check_release_content(std::string_view component, const std::vector<std::string>& paths,
                           bool partial) {
  if (paths.empty()) throw ToolError("The release has no files: it would install nothing");
  if (component != "app" || partial) return;
  std::string missing;
  for (const char* name : host_file_names) {
    const std::string path = std::string("host/") + name;
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;
    missing += (missing.empty() ? "" : " and ") + path;
  }
  if (missing.empty()) return;
  throw ToolError("The app release has no " + missing +
                  ": users would get no such plug-in, and the install would still succeed. "
                  "Add it, or give --partial to publish the release anyway (users keep the "
                  "copy they have; a new user gets none)");
}

void write_channel(const fs::path& root, std::string_view component, std::string_view version) {
  const fs::path channel = channel_document(root, component);
  std::error_code error;
  fs::create_directories(channel.parent_path(), error);
  if (error) throw ToolError("Can't make " + channel.parent_path().string());
  // Written beside and renamed over, so a server never serves half a channel document.
  const fs::path partial = channel.string() + ".partial";
  write_file(partial, "{\"version\":" + json_string(version) + "}\n");
  fs::rename(partial, channel, error);
  if (error) throw ToolError("Can't write " + channel.string());
}

// The paths a published release lists, once the installer's own code has verified it with
// `public_key` and every listed file matches its size and SHA-256.
std::vector<std::string> verified_paths(const fs::path& root, std::string_view component,
                                        std::string_view version,
                                        const std::uint8_t public_key[32]) {
  check_component_and_version(component, version);
  const fs::path folder = release_folder(root, component, version);
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    throw ToolError("No release " + std::string(component) + " " + std::string(version) +
                    " is published under " + root.string());
  }
  ReleaseList list = [&] {
    try {
      return open_release_list(read_file(folder / "release.json"),
                               read_file(folder / "release.sig"), public_key);
    } catch (const Failure& failure) {
      if (std::string_view(failure.what()) == unsigned_release_list_message) {
        throw ToolError("release.sig is not a signature of release.json by the key " +
                        lowercase_hex(public_key, 32) +
                        ": the installer that trusts it would refuse this release");
      }
      throw ToolError(std::string("The installer would refuse this release: ") + failure.what());
    }
  }();
  if (list.document.member("version").text != version) {
    throw ToolError("release.json names version \"" + list.document.member("version").text +
                    "\", not \"" + std::string(version) + "\"");
  }
  std::vector<std::string> paths;
  for (const JsonValue& entry : list.document.member("files").elements) {
    const std::string& path = entry.member("path").text;
    if (!installer_accepts_path(path)) {
      throw ToolError("The installer would refuse the path \"" + path + "\"");
    }
    std::string content;
    try {
      content = read_file(folder / "files" / path);
    } catch (const ToolError&) {
      throw ToolError("\"" + path + "\" is listed but missing from files/");
    }
    const double size = entry.member("size").number;
    if (size != static_cast<double>(content.size())) {
      throw ToolError("\"" + path + "\" has " + std::to_string(content.size()) +
                      " bytes, the list says otherwise");
    }
    if (entry.member("sha256").text != sha256_hex(content)) {
      throw ToolError("\"" + path + "\" does not match its SHA-256 in the list");
    }
    paths.push_back(path);
  }
  return paths;
}

struct SourceFile {
  std::string path;  // release path, '/' between folders
  fs::path source;
};

// Refuses paths the installer would accept but Windows cannot hold as files in Premiere's
// folders: a name Windows does not allow, and two files, or a file and a folder, whose paths
// differ only in letter case, which Windows takes for one. (Folders alone may differ in case:
// Windows merges them, and every file still has its place.)
void check_windows_can_hold(const std::vector<SourceFile>& files) {
  std::map<std::u16string, std::string> folders;  // folded path: path, of every file's folders
  for (const SourceFile& file : files) {
    for (std::size_t end = file.path.find('/'); end != std::string::npos;
         end = file.path.find('/', end + 1)) {
      folders.emplace(folded(file.path.substr(0, end)), file.path.substr(0, end));
    }
  }
  std::map<std::u16string, std::string> seen;  // folded path: path, of the files so far
  for (const SourceFile& file : files) {
    for (std::size_t start = 0;;) {
      const std::size_t end = file.path.find('/', start);
      const std::string problem = windows_name_problem(
          std::string_view(file.path).substr(start, end == std::string::npos ? end : end - start));
      if (!problem.empty()) {
        throw ToolError("The path \"" + file.path + "\" " + problem + "; refusing");
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
    const std::u16string key = folded(file.path);
    const auto folder = folders.find(key);
    const auto [other, added] = seen.emplace(key, file.path);
    const std::string& clash = folder != folders.end() ? folder->second : other->second;
    if (folder != folders.end() || !added) {
      throw ToolError("The paths \"" + clash + "\" and \"" + file.path +
                      "\" differ only in letter case, and Windows holds only one of them; "
                      "refusing");
    }
  }
}

std::vector<SourceFile> collect_files(const fs::path& from) {
  std::error_code error;
  if (!fs::is_directory(from, error)) throw ToolError(from.string() + " is not a folder");
  std::vector<SourceFile> files;
  for (fs::recursive_directory_iterator it(from, error), end; it != end; it.increment(error)) {
    if (error) break;
    const fs::file_status status = it->symlink_status();
    // Named by its own path: fs::relative would follow a link to wherever it points.
    const std::string path = it->path().lexically_relative(from).generic_string();
    if (fs::is_directory(status)) continue;
    if (fs::is_symlink(status)) {
      throw ToolError("\"" + path +
                      "\" is a link; a release holds only files and folders, so "
                      "copy what it points to instead; refusing");
    }
    if (!fs::is_regular_file(status)) {
      throw ToolError("\"" + path + "\" is neither a file nor a folder; refusing");
    }
    if (!installer_accepts_path(path)) {
      throw ToolError("The installer would refuse the path \"" + path + "\"; refusing");
    }
    if (it->file_size() > platform::http_body_limit) {
      throw ToolError("\"" + path + "\" is larger than the installer downloads");
    }
    files.push_back({path, it->path()});
  }
  if (error) throw ToolError("Can't list " + from.string() + ": " + error.message());
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
  check_windows_can_hold(files);
  return files;
}

}  // namespace

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("Can't read " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

PublicKey installer_key() {
  PublicKey key;
  std::copy(std::begin(release_signing_key), std::end(release_signing_key), key.begin());
  return key;
}

std::string version_problem(std::string_view version) {
  if (!is_version_text(version)) {
    return "has characters other than digits and dots (or is empty); the installer would "
           "refuse it";
  }
  if (version.front() == '.' || version.back() == '.' || version.find("..") != version.npos) {
    return "has an empty field; write a number between every two dots, such as 1.0.2";
  }
  return {};
}

int compare_versions(std::string_view a, std::string_view b) {
  // Takes the next field off `text`, without its leading zeros: numbers of any length compare
  // by their count of digits, then digit by digit.
  const auto next_field = [](std::string_view& text) {
    const std::size_t dot = text.find('.');
    std::string_view field = text.substr(0, dot);
    text = dot == text.npos ? std::string_view() : text.substr(dot + 1);
    while (!field.empty() && field.front() == '0') field.remove_prefix(1);
    return field;
  };
  while (!a.empty() || !b.empty()) {
    const std::string_view x = next_field(a), y = next_field(b);
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    if (const int order = x.compare(y); order != 0) return order < 0 ? -1 : 1;
  }
  return 0;
}

bool parse_key_hex(std::string_view text, std::uint8_t key[32]) {
  if (text.size() != 64) return false;
  for (std::size_t i = 0; i < 64; ++i) {
    const char c = text[i];
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else {
      return false;
    }
    if (i % 2 == 0) {
      key[i / 2] = static_cast<std::uint8_t>(value << 4);
    } else {
      key[i / 2] = static_cast<std::uint8_t>(key[i / 2] | value);
    }
  }
  return true;
}

std::string generate_key(const fs::path& key_file) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(key_file, error))) {
    throw ToolError(key_file.string() + " exists already; a key is never overwritten");
  }
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) throw ToolError("OpenSSL could not make a key");
  // Readable by its owner only from the moment it exists.
  const mode_t saved = umask(077);
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(key_file.c_str(), "wx"));
  umask(saved);
  if (!file ||
      PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      std::fflush(file.get()) != 0) {
    throw ToolError("Can't write the key file " + key_file.string());
  }
  return public_hex(key.get());
}

std::string public_key_hex(const fs::path& key_file) {
  return public_hex(load_private_key(key_file).get());
}

std::string sign_document(const fs::path& key_file, std::string_view document) {
  return sign(load_private_key(key_file).get(), document);
}

void publish_release(const PublishRequest& request) {
  check_component_and_version(request.component, request.version);
  Key key = load_private_key(request.key_file);
  check_signing_key(request.key_file, key.get(), request.rules.trusted_key);
  const std::vector<SourceFile> files = collect_files(request.from);
  if (files.empty()) {
    throw ToolError(request.from.string() + " holds no files: the release would install nothing");
  }
  std::vector<std::string> paths;
  for (const SourceFile& file : files) paths.push_back(file.path);
  check_release_content(request.component, paths, request.rules.partial);
  if (request.update_channel) {
    check_not_lower(request.root, request.component, request.version, request.rules);
  }
  const fs::path folder = release_folder(request.root, request.component, request.version);
  std::error_code error;
  if (fs::exists(fs::symlink_status(folder, error))) {
    throw ToolError(folder.string() + " exists already; a published release is never changed");
  }

  std::string list = "{\n  \"version\": " + json_string(request.version) + ",\n  \"files\": [";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string content = read_file(files[i].source);
    const fs::path target = folder / "files" / files[i].path;
    fs::create_directories(target.parent_path(), error);
    if (error) throw ToolError("Can't make " + target.parent_path().string());
    write_file(target, content);
    list += std::string(i == 0 ? "" : ",") + "\n    {\"path\": " + json_string(files[i].path) +
            ", \"size\": " + std::to_string(content.size()) +
            ", \"sha256\": " + json_string(sha256_hex(content)) + "}";
  }
  list += "\n  ]\n}\n";
  write_file(folder / "release.json", list);
  write_file(folder / "release.sig", sign(key.get(), list));

  // The channel moves only to what the installer's own code has just accepted, as published.
  verified_paths(request.root, request.component, request.version,
                 request.rules.trusted_key.data());
  if (request.update_channel) write_channel(request.root, request.component, request.version);
}

void promote_release(const fs::path& root, std::string_view component, std::string_view version,
                     const ChannelRules& rules) {
  const std::vector<std::string> paths =
      verified_paths(root, component, version, rules.trusted_key.data());
  check_release_content(component, paths, rules.partial);
  check_not_lower(root, component, version, rules);
  write_channel(root, component, version);
}

std::size_t verify_release(const fs::path& root, std::string_view component,
                           std::string_view version, const std::uint8_t public_key[32]) {
  return verified_paths(root, component, version, public_key).size();
}
