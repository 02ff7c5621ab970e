// Whole install runs in a sandbox: releases published with the publisher's own code and the
// development key, served by the scripted loopback host, and every folder the installer writes
// to (temporary, roaming, Program Files) pointed into a temporary folder.
//
// Linux only: publishing signs with OpenSSL, which only the Linux build has. The Windows build
// runs the same pipeline end to end under Wine against nginx (tests/e2e).

#include "install/install_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "app/entry.h"
#include "app/settings.h"
#include "failure.h"
#include "fs/commit.h"
#include "fs/files.h"
#include "fs/paths.h"
#include "install/registration.h"
#include "install/run_start.h"
#include "install/uninstall_run.h"
#include "install/user_folders.h"
#include "log/setup_log.h"
#include "platform/file_faults.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/users.h"
#include "premiere/settings_document.h"
#include "product.h"
#include "release/download.h"
#include "release/http_client.h"
#include "release/release_key.h"
#include "release_tool.h"
#include "support/release_host.h"
#include "support/sandbox.h"
#include "support/scoped_variable.h"
#include "ui/progress.h"

// The seam: while `refused` answers true for a path, creating that folder, or renaming onto it,
// fails as a full disk would; a move into an open folder is asked about by the name it gives.
// The linker sends the core's calls here (tests/CMakeLists.txt).
namespace {
std::function<bool(const std::u16string&)> refused;
std::pair<int, int> hook_pipes;  // a sweep's child: where it asks for a second run, and waits
int refused_error = ENOSPC;      // EBUSY: a hold another program keeps
}  // namespace

#define CREATE_FOLDER \
  _ZN8platform13create_folderERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEE
#define MOVE_FILE \
  _ZN8platform19move_file_replacingERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEES7_b
#define MOVE_IN \
  _ZNK8platform10OpenFolder7move_inERKS0_RKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEESA_
#define WRAPPED(name) WRAPPED_(__wrap_, name)
#define REAL(name) WRAPPED_(__real_, name)
#define WRAPPED_(prefix, name) WRAPPED__(prefix, name)
#define WRAPPED__(prefix, name) prefix##name

extern "C" platform::CreateFolderResult REAL(CREATE_FOLDER)(const std::u16string& path);
extern "C" platform::CreateFolderResult WRAPPED(CREATE_FOLDER)(const std::u16string& path) {
  if (refused && refused(path)) {
    errno = refused_error;
    return platform::CreateFolderResult::failed;
  }
  return REAL(CREATE_FOLDER)(path);
}
extern "C" bool REAL(MOVE_FILE)(const std::u16string& from, const std::u16string& to,
                                bool write_through);
extern "C" bool WRAPPED(MOVE_FILE)(const std::u16string& from, const std::u16string& to,
                                   bool write_through) {
  if (refused && refused(to)) {
    errno = refused_error;
    return false;
  }
  return REAL(MOVE_FILE)(from, to, write_through);
}
// A member function takes its object first, as a pointer.
extern "C" bool REAL(MOVE_IN)(const platform::OpenFolder* folder, const platform::OpenFolder& from,
                              const std::u16string& from_name, const std::u16string& name);
extern "C" bool WRAPPED(MOVE_IN)(const platform::OpenFolder* folder,
                                 const platform::OpenFolder& from, const std::u16string& from_name,
                                 const std::u16string& name) {
  if (refused && refused(name)) {
    errno = refused_error;
    return false;
  }
  return REAL(MOVE_IN)(folder, from, from_name, name);
}

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> loader_files = {
    {"CSXS/manifest.xml", "<ExtensionManifest Version='7.0'/>\n"},
    {"index.html", "<!doctype html>\n"},
    {"js/lib/main file.js", "console.log('corvalis');\n"},
};
const std::map<std::string, std::string> app_files = {
    {"host/Corvalis.acsrf", std::string(3000, 'c')},
    {"host/Corvalis_Importer.prm", std::string(5000, 'i')},
    {"host/notes.txt", "not for the installer"},
};

// The bar's clock in the tests that drive it: a slow link, on which every piece of a download
// takes 40 ms to arrive.
std::uint64_t link_ms = 0;
std::uint64_t slow_link_clock() {
  return link_ms += 40;
}

// Everything the window was told, one line per report part, and the link's time of each bar
// position.
class RecordingWindow : public SetupWindow {
 public:
  std::vector<std::string> seen;
  std::vector<int> positions;
  std::vector<std::uint64_t> positions_at;
  void set_heading(std::u16string_view heading) override {
    seen.push_back("heading " + platform::utf16_to_utf8(heading));
  }
  void set_detail(std::u16string_view detail) override {
    seen.push_back("detail " + platform::utf16_to_utf8(detail));
  }
  void set_progress(int position) override {
    seen.push_back("progress " + std::to_string(position));
    positions.push_back(position);
    positions_at.push_back(link_ms);
  }

  // The whole reports among what was seen: a position sent on its own moves the bar with a
  // download's bytes.
  std::vector<std::string> reports() const {
    std::vector<std::string> whole;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      if (seen[i].starts_with("progress ") && (i == 0 || !seen[i - 1].starts_with("detail "))) {
        continue;
      }
      whole.push_back(seen[i]);
    }
    return whole;
  }
};

std::vector<std::string> report(const char* heading, const char* detail, int position) {
  return {std::string("heading ") + heading, std::string("detail ") + detail,
          "progress " + std::to_string(position)};
}

// The reports of a whole install run, in order.
std::vector<std::string> milestone_reports() {
  std::vector<std::string> expected;
  for (const auto& [detail, position] :
       std::vector<std::pair<const char*, int>>{{"Downloading...", 10},
                                                {"Downloading...", 35},
                                                {"Finishing...", 70},
                                                {"Finishing...", 95}}) {
    const auto part = report("Installing Corvalis", detail, position);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  return expected;
}

// Install-mode runs wait while anything named like Premiere runs, and the wait tests start
// such a process: those take turns with every other test process of this file (and the sweep
// under Wine), which share the turn among themselves.
class TakeTurns {
 public:
  TakeTurns()
      : fd_(::open("/tmp/corvalis-tests-premiere.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_SH);
  }
  ~TakeTurns() {
    if (fd_ >= 0) ::close(fd_);
  }
  // For a test that starts a program named like Premiere: nobody else runs meanwhile.
  void alone() {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }

 private:
  int fd_;
};

class InstallRun : public testing::Test {
 protected:
  TakeTurns turn;
  Sandbox sandbox;
  ReleaseHostSession host;
  fs::path root = fs::path(platform::utf16_to_utf8(sandbox.path(u"host")));
  std::u16string appdata = sandbox.path(u"appdata");
  std::u16string program_files = sandbox.path(u"Program Files");
  std::u16string program_files_x86 = sandbox.path(u"Program Files (x86)");
  ScopedVariable appdata_variable{u"APPDATA", appdata};
  ScopedVariable program_files_variable{u"ProgramFiles", program_files};
  ScopedVariable program_w6432_variable{u"ProgramW6432", program_files};
  ScopedVariable program_files_x86_variable{u"ProgramFiles(x86)", program_files_x86};
  // Entries of the host's script, each answered 200 until a test changes one.
  std::map<std::string, std::string> served;

  void SetUp() override {
    if (!release_key_is_development) {
      GTEST_SKIP()
          << "this build trusts a real release key; the tests sign with the development key";
    }
    fs::create_directories(platform::utf16_to_utf8(appdata));
    put_file(program, "the program's own bytes");
    publish("loader", "1.4.2", loader_files);
    publish("app", "2.0.1", app_files);
    ASSERT_TRUE(scan({u"setup", u"--base", host.base()}));
  }

  // The run's settings, from a command line as the program would read it, with the running
  // program a small file of the sandbox's.
  bool scan(const std::vector<std::u16string>& arguments) {
    const std::optional<RunSettings> parsed = parse_command_line(arguments);
    if (parsed) settings = *parsed;
    settings.program = program;
    return parsed.has_value();
  }
  std::u16string program = sandbox.path(u"setup program");
  RunSettings settings;

  // Publishes the release and adds its files to `served`; serves them unless told not to.
  void publish(const std::string& component, const std::string& version,
               const std::map<std::string, std::string>& files, bool serve_now = true) {
    const fs::path from = root.parent_path() / ("source-" + component + "-" + version);
    for (const auto& [path, content] : files) put(from / path, content);
    // Older and partial releases too: the runs must face whatever a host may serve.
    const ChannelRules anything{.allow_downgrade = true, .partial = true};
    publish_release(
        {fs::path(CORVALIS_DEVELOPMENT_KEY), root, component, version, from, true, anything});
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      const std::string relative = fs::relative(entry.path(), root).generic_string();
      served["/" + percent_encode_path(relative)] =
          file_content(platform::utf8_to_utf16(entry.path().string()));
    }
    if (serve_now) serve();
  }

  void serve() {
    ReleaseHostSession::Script script;
    for (const auto& [path, body] : served) script.push_back({path, {HostAnswer(200, body)}});
    host.script(script);
  }

  static void put(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    put_file(platform::utf8_to_utf16(path.string()), content);
  }

  std::u16string under(const std::u16string& base, std::initializer_list<const char16_t*> parts) {
    std::u16string path = base;
    for (const char16_t* part : parts) path = join_path(path, part);
    return path;
  }

  std::u16string panel() {
    return under(appdata, {u"Adobe", u"CEP", u"extensions", u"com.corvalisplugin.panel"});
  }

  std::vector<std::string> log_messages() {
    std::vector<std::string> lines;
    const std::string content = file_content(log_file_path());
    for (std::size_t start = 0; start < content.size();) {
      const std::size_t end = content.find("\r\n", start);
      lines.push_back(content.substr(start + 20, end - start - 20));
      start = end + 2;
    }
    return lines;
  }

  bool run_folder_left() {
    platform::FolderListing listing;
    return listing.open(platform::temp_folder(), u"corvalis-setup-*");
  }

  std::string run_failure(WindowReference window = nullptr) {
    try {
      if (settings.uninstall) {
        uninstall_run(settings, window);
      } else {
        install_run(settings, window);
      }
    } catch (const Failure& failure) {
      return failure.what();
    }
    return "no failure";
  }
};

TEST_F(InstallRun, InstallsEverythingAndReportsEachStep) {
  // What an earlier install and an earlier product left behind.
  put(platform::utf16_to_utf8(join_path(panel(), u"old.js")), "old");
  put(platform::utf16_to_utf8(under(panel(), {u"old", u"deep.txt"})), "old");
  const std::u16string legacy_panel =
      under(appdata, {u"Adobe", u"CEP", u"extensions", u"com.brackmoor.panel"});
  put(platform::utf16_to_utf8(join_path(legacy_panel, u"index.html")), "legacy");
  const std::u16string legacy_importer =
      under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore", u"Brackmoor"});
  put(platform::utf16_to_utf8(join_path(legacy_importer, u"Brackmoor.prm")), "legacy");
  const std::u16string premiere = under(appdata, {u"Adobe", u"Premiere Pro"});
  for (const char16_t* version : {u"24.0", u"25.0", u"Profile-x"}) {
    platform::create_folder(premiere);
    platform::create_folder(join_path(premiere, version));
  }
  // Another control surface with an empty settings list.
  const std::string settings_list = "<key>PluginSettingsList</key>\n<prop.list>\n";
  const std::string other = "<prop.pair><key>other.plugin</key><prop.list/></prop.pair>\n";
  std::string other_settings(settings_template);
  other_settings.insert(other_settings.find(settings_list) + settings_list.size(), other);
  put(platform::utf16_to_utf8(
          under(premiere, {u"25.0", u"ControlSurface", u"ControlSurfaceSettings.xml"})),
      other_settings);

  RecordingWindow window;
  install_run(settings, &window);

  // The panel folder holds exactly the new release.
  EXPECT_FALSE(platform::path_exists(join_path(panel(), u"old.js")));
  EXPECT_FALSE(platform::path_exists(join_path(panel(), u"old")));
  for (const auto& [path, content] : loader_files) {
    EXPECT_EQ(file_content(join_release_path(panel(), path)), content) << path;
  }
  EXPECT_FALSE(platform::path_exists(legacy_panel));
  EXPECT_FALSE(platform::path_exists(legacy_importer));

  // The control-surface plug-in in one place, the importer in both MediaCore folders of both
  // distinct Program Files folders.
  EXPECT_EQ(file_content(under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface",
                                               u"Corvalis.acsrf"})),
            app_files.at("host/Corvalis.acsrf"));
  for (const std::u16string& base : {program_files, program_files_x86}) {
    for (const std::u16string& media_core :
         {under(base, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore"}),
          under(base, {u"Common Files", u"Adobe", u"Plug-ins", u"7.0", u"MediaCore"})}) {
      EXPECT_EQ(file_content(under(media_core, {u"Corvalis", u"Corvalis_Importer.prm"})),
                app_files.at("host/Corvalis_Importer.prm"));
    }
  }
  EXPECT_FALSE(platform::path_exists(
      under(program_files_x86, {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface"})));

  std::string edited = add_command_bridge(
      settings_template,
      platform::utf16_to_utf8(under(program_files, {u"Adobe", u"Common", u"Plug-ins",
                                                    u"ControlSurface", u"Corvalis.acsrf"})));
  EXPECT_EQ(
      file_content(under(premiere, {u"24.0", u"ControlSurface", u"ControlSurfaceSettings.xml"})),
      edited);
  edited.insert(edited.find(settings_list) + settings_list.size(), other);
  EXPECT_EQ(
      file_content(under(premiere, {u"25.0", u"ControlSurface", u"ControlSurfaceSettings.xml"})),
      edited);
  EXPECT_FALSE(platform::path_exists(under(premiere, {u"Profile-x", u"ControlSurface"})));

  EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                "Installing from " + platform::utf16_to_utf8(host.base()),
                                "Installed the loader 1.4.2",
                                "Installed the plug-ins from app 2.0.1",
                                "Switched the command bridge on in 2 Premiere version(s)",
                                "Registered Corvalis with Windows",
                                "Done",
                            }));
  EXPECT_EQ(window.reports(), milestone_reports());
  EXPECT_TRUE(std::is_sorted(window.positions.begin(), window.positions.end()));
  EXPECT_FALSE(run_folder_left());

  // A second run changes no settings: the bridge is already on everywhere.
  install_run(settings, nullptr);
  const std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Installed the plug-ins from app 2.0.1",
                                      "Registered Corvalis with Windows", "Done"}));
}

TEST_F(InstallRun, TheBarRisesWithTheBytesOfASlowDownloadAndNeverGoesBack) {
  // Host plug-ins of 8 MiB and 1 MiB in the pattern the scripted host generates, so that it
  // sends them without holding them; the larger one breaks off half way at first and is
  // fetched again.
  constexpr long long large = 8LL << 20, small = 1LL << 20;
  const auto pattern = [](long long size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = generated_byte(i);
    return bytes;
  };
  publish("app", "2.0.3",
          {{"host/Corvalis.acsrf", pattern(large)}, {"host/Corvalis_Importer.prm", pattern(small)}},
          false);
  const std::string acsrf = "/app/2.0.3/files/host/Corvalis.acsrf";
  const std::string importer = "/app/2.0.3/files/host/Corvalis_Importer.prm";
  ReleaseHostSession::Script script;
  for (const auto& [path, body] : served) {
    if (path != acsrf && path != importer) script.push_back({path, {HostAnswer(200, body)}});
  }
  HostAnswer broken{200}, whole{200}, second{200};
  broken.size = whole.size = large;
  broken.cut = large / 2;
  second.size = small;
  script.push_back({acsrf, {broken, whole}});
  script.push_back({importer, {second}});
  host.script(script);

  link_ms = 0;
  set_progress_clock_for_testing(slow_link_clock);
  platform::observe_pauses_for_testing([](std::uint32_t) {});  // the retry's pause
  struct Restore {
    ~Restore() {
      set_progress_clock_for_testing(nullptr);
      platform::observe_pauses_for_testing(nullptr);
    }
  } restore;
  RecordingWindow window;
  install_run(settings, &window);
  const std::vector<std::string> requested = host.request_paths();
  ASSERT_EQ(std::count(requested.begin(), requested.end(), acsrf), 2);

  // Every milestone's report as ever, and in between, positions sent on their own that rise
  // without a step back, not even when the large file started over.
  EXPECT_EQ(window.reports(), milestone_reports());
  const std::vector<int>& positions = window.positions;
  EXPECT_EQ(std::adjacent_find(positions.begin(), positions.end(), std::greater_equal<int>()),
            positions.end())
      << testing::PrintToString(positions);
  const auto at_35 = std::find(positions.begin(), positions.end(), 35);
  const auto at_70 = std::find(positions.begin(), positions.end(), 70);
  ASSERT_LT(at_35, at_70);
  EXPECT_GT(at_70 - at_35 - 1, 10) << testing::PrintToString(positions);
  // At most one position per 100 ms of the link's clock.
  for (auto moved = at_35 + 2; moved < at_70; ++moved) {
    const std::size_t i = static_cast<std::size_t>(moved - positions.begin());
    EXPECT_GE(window.positions_at[i] - window.positions_at[i - 1], 100u) << positions[i];
  }
}

TEST_F(InstallRun, AReleaseWithoutTheControlSurfacePlugInLeavesSettingsAlone) {
  publish("app", "2.0.2", {{"host/Corvalis_Importer.prm", "importer"}});
  ASSERT_TRUE(scan({u"setup", u"--base", host.base()}));
  const std::u16string premiere = under(appdata, {u"Adobe", u"Premiere Pro"});
  platform::create_folder(premiere);
  platform::create_folder(join_path(premiere, u"24.0"));
  install_run(settings, nullptr);
  EXPECT_FALSE(platform::path_exists(under(premiere, {u"24.0", u"ControlSurface"})));
  const std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Installed the plug-ins from app 2.0.2",
                                      "Registered Corvalis with Windows", "Done"}));
}

TEST_F(InstallRun, FailuresEndTheRunWithTheirMessageAndNoRunFolder) {
  const std::string genuine = served["/loader/1.4.2/files/index.html"];
  served["/loader/1.4.2/files/index.html"] = genuine + "!";
  serve();
  EXPECT_EQ(run_failure(), damaged_download_message);
  EXPECT_FALSE(run_folder_left());
  // Nothing was written before every loader file had arrived intact.
  EXPECT_FALSE(platform::path_exists(panel()));

  served["/loader/1.4.2/files/index.html"] = genuine;
  served["/app/2.0.1/release.json"] += " ";
  serve();
  EXPECT_EQ(run_failure(),
            "A download from corvalisplugin.com wasn't signed by Corvalis, so nothing was "
            "installed.");
  EXPECT_FALSE(run_folder_left());
}

// The names in a folder, sorted; none when it is missing.
std::vector<std::string> names_in(const std::u16string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(platform::utf16_to_utf8(folder), ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(InstallRun, AFailedPanelSwitchLeavesTheInstalledPanelWhole) {
  const std::u16string cep = under(appdata, {u"Adobe", u"CEP"});
  const std::string not_written = "Couldn't write Corvalis into Premiere's extensions folder.";
  const struct {
    const char* name;
    std::function<bool(const std::u16string&)> refuse;
    std::string message;
    const char* logged;
  } cases[] = {
      // The folder the new panel is put together in cannot be made.
      {"the staging folder",
       [&](const std::u16string& path) { return path.ends_with(u".corvalis-new"); },
       "Couldn't make the folder ", "Create folder "},
      {"the installed panel, moved aside",
       [&](const std::u16string& path) { return path.ends_with(u".corvalis-old"); },
       "Couldn't replace the Corvalis panel that's already installed. Restart your computer and "
       "run Setup again.",
       "Rename "},
      // Between the two renames: the installed panel is aside and goes back.
      {"the new panel, moved into place",
       // Only the first rename onto the panel fails: the one that puts the old panel back works.
       [&, failed = false](const std::u16string& path) mutable {
         if (!path.ends_with(u"com.corvalisplugin.panel") || failed) return false;
         failed = true;
         return true;
       },
       not_written, "Rename "},
  };
  for (const auto& failing : cases) {
    SCOPED_TRACE(failing.name);
    erase_tree(cep);
    put(platform::utf16_to_utf8(join_path(panel(), u"index.html")), "old index");
    put(platform::utf16_to_utf8(under(panel(), {u"old", u"deep.txt"})), "old deep");
    refused = failing.refuse;
    const std::string failure = run_failure();
    refused = nullptr;
    EXPECT_TRUE(failure.starts_with(failing.message)) << failure;
    EXPECT_TRUE(log_messages().back().starts_with(failing.logged)) << log_messages().back();
    EXPECT_EQ(names_in(panel()), (std::vector<std::string>{"index.html", "old"}));
    EXPECT_EQ(file_content(join_path(panel(), u"index.html")), "old index");
    EXPECT_EQ(names_in(join_path(panel(), u"old")), std::vector<std::string>{"deep.txt"});
    EXPECT_EQ(file_content(under(panel(), {u"old", u"deep.txt"})), "old deep");
    // Neither the staged nor the set-aside copy is left beside the extensions folder.
    EXPECT_EQ(names_in(cep), std::vector<std::string>{"extensions"});
    EXPECT_FALSE(run_folder_left());
  }
}

TEST_F(InstallRun, LeftoversOfARunEndedAtOnceAreRemovedByTheNext) {
  // A run folder whose process has ended, and one of a process still running.
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ASSERT_GT(ended, 0);
  ::waitpid(ended, nullptr, 0);
  const std::u16string temp = platform::temp_folder();
  const std::u16string abandoned =
      join_path(temp, u"corvalis-setup-" + decimal(static_cast<std::uint32_t>(ended)) + u"-77");
  const std::u16string live = join_path(
      temp, u"corvalis-setup-" + decimal(static_cast<std::uint32_t>(::getppid())) + u"-78");
  put(platform::utf16_to_utf8(under(abandoned, {u"loader-0.download"})), "partial");
  put(platform::utf16_to_utf8(under(live, {u"loader-0.download"})), "in use");
  // Named almost like ours: a file, and folders whose names do not fit.
  for (const char16_t* name :
       {u"corvalis-setup-notes.txt", u"corvalis-setup-1-2-3/keep", u"corvalis-setup-x-1/keep"}) {
    put(platform::utf16_to_utf8(join_path(temp, name)), "unrelated");
  }
  put(platform::utf16_to_utf8(join_path(
          temp, u"corvalis-setup-" + decimal(static_cast<std::uint32_t>(ended)) + u"-79.txt")),
      "a file, not a run folder");

  // A panel switch cut short: the staged copy and the one set aside.
  const std::u16string cep = under(appdata, {u"Adobe", u"CEP"});
  put(platform::utf16_to_utf8(
          under(cep, {u"com.corvalisplugin.panel.111.corvalis-new", u"a", u"b"})),
      "staged");
  put(platform::utf16_to_utf8(under(cep, {u"com.corvalisplugin.panel.222.corvalis-old", u"c"})),
      "aside");
  put(platform::utf16_to_utf8(under(cep, {u"com.corvalisplugin.panel.backup", u"keep"})), "mine");
  // Plug-in and settings replacements cut short.
  const std::u16string importer_folder =
      under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore", u"Corvalis"});
  put(platform::utf16_to_utf8(
          join_path(importer_folder, u"Corvalis_Importer.prm.333.corvalis-new")),
      "half");
  put(platform::utf16_to_utf8(join_path(importer_folder, u"Corvalis_Importer.prm.bak")), "mine");
  const std::u16string control_surface =
      under(appdata, {u"Adobe", u"Premiere Pro", u"24.0", u"ControlSurface"});
  put(platform::utf16_to_utf8(
          join_path(control_surface, u"ControlSurfaceSettings.xml.444.corvalis-new")),
      "half");
  put(platform::utf16_to_utf8(
          join_path(control_surface, u"ControlSurfaceSettings.xml.555.corvalis-old")),
      "old");
  put(platform::utf16_to_utf8(join_path(control_surface, u"ControlSurfaceSettings.xml.bak")),
      "mine");

  // A check touches nothing of the user's; only the abandoned run folder goes.
  ASSERT_TRUE(scan({u"setup", u"--check", u"--base", host.base()}));
  install_run(settings, nullptr);
  EXPECT_FALSE(platform::path_exists(abandoned));
  EXPECT_EQ(names_in(cep), (std::vector<std::string>{"com.corvalisplugin.panel.111.corvalis-new",
                                                     "com.corvalisplugin.panel.222.corvalis-old",
                                                     "com.corvalisplugin.panel.backup"}));

  // A plug-in replacement cut after the loaded plug-in went aside: the copy its record names goes
  // back before anything else, so a run that then fails (no host to reach) leaves a plug-in. A
  // copy aside without a record is evidence of nothing: it goes, whatever its number.
  const std::u16string surface_folder =
      under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface"});
  put(platform::utf16_to_utf8(join_path(surface_folder, u"Corvalis.acsrf.99.corvalis-switch")),
      "Corvalis.acsrf\n");
  put(platform::utf16_to_utf8(join_path(surface_folder, u"Corvalis.acsrf.99.corvalis-old")), "old");
  put(platform::utf16_to_utf8(join_path(surface_folder, u"Corvalis.acsrf.100.corvalis-old")),
      "a remnant of an earlier boot");
  ASSERT_TRUE(scan({u"setup", u"--base", host.refused_url("")}));
  platform::observe_pauses_for_testing([](std::uint32_t) {});
  EXPECT_EQ(run_failure(),
            "Couldn't download Corvalis. Check your internet connection and run Setup again.");
  platform::observe_pauses_for_testing(nullptr);
  EXPECT_EQ(names_in(surface_folder), std::vector<std::string>{"Corvalis.acsrf"});
  EXPECT_EQ(file_content(join_path(surface_folder, u"Corvalis.acsrf")), "old");

  put(platform::utf16_to_utf8(under(abandoned, {u"loader-0.download"})), "partial");
  ASSERT_TRUE(scan({u"setup", u"--base", host.base()}));
  install_run(settings, nullptr);
  EXPECT_FALSE(platform::path_exists(abandoned));
  EXPECT_EQ(file_content(join_path(live, u"loader-0.download")), "in use");
  std::vector<std::string> kept = {"Corvalis Setup.log",
                                   "corvalis-setup-1-2-3",
                                   "corvalis-setup-" + std::to_string(ended) + "-79.txt",
                                   "corvalis-setup-" + std::to_string(::getppid()) + "-78",
                                   "corvalis-setup-notes.txt",
                                   "corvalis-setup-x-1"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(names_in(temp), kept);
  EXPECT_EQ(names_in(cep),
            (std::vector<std::string>{"com.corvalisplugin.panel.backup", "extensions"}));
  EXPECT_EQ(names_in(importer_folder),
            (std::vector<std::string>{"Corvalis_Importer.prm", "Corvalis_Importer.prm.bak"}));
  EXPECT_EQ(
      names_in(control_surface),
      (std::vector<std::string>{"ControlSurfaceSettings.xml", "ControlSurfaceSettings.xml.bak"}));
}

TEST_F(InstallRun, AHugeChannelDocumentIsRefusedUnreadWithBoundedMemory) {
  // Nothing signs a channel document: 50 MiB of one is refused at 64 KiB, before parsing, and
  // the client stops reading there (the host writes only what the connection's buffers take).
  constexpr long long huge = 50LL * 1024 * 1024;
  HostAnswer document{200};
  document.size = huge;
  document.framing = "chunked";
  ReleaseHostSession::Script script;
  for (const auto& [path, body] : served) {
    if (path != "/loader/latest.json") script.push_back({path, {HostAnswer(200, body)}});
  }
  script.push_back({"/loader/latest.json", {document}});
  host.script(script);

  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(run_failure(), nonsense_release_list_message);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 8 * 1024) << "KiB";
  EXPECT_LT(host.body_bytes_sent("/loader/latest.json"), huge / 4);
  // Refused, not failed: no GET line, no second request.
  EXPECT_EQ(host.request_paths(), std::vector<std::string>{"/loader/latest.json"});
  const std::vector<std::string> lines = log_messages();
  EXPECT_EQ(lines.back(), "Installing from " + platform::utf16_to_utf8(host.base()));
}

TEST_F(InstallRun, NoWritableTargetForAPlugInFailsTheRun) {
  // Files where the plug-in folders should start: no target can be made.
  for (const std::u16string& folder : {program_files, program_files_x86}) {
    for (const char16_t* top : {u"Adobe", u"Common Files"}) {
      put(platform::utf16_to_utf8(join_path(folder, top)), "blocked");
    }
  }
  EXPECT_EQ(run_failure(),
            "Premiere's plug-ins weren't added. Make sure Premiere Pro is closed, then run Setup "
            "again.");
  EXPECT_FALSE(run_folder_left());
}

TEST_F(InstallRun, CheckModeWritesOnlyIntoItsRunFolder) {
  ASSERT_TRUE(scan({u"setup", u"--check", u"--base", host.base()}));
  install_run(settings, nullptr);
  EXPECT_EQ(log_messages().back(), "Check passed: loader 1.4.2, app 2.0.1");
  EXPECT_FALSE(platform::path_exists(join_path(appdata, u"Adobe")));
  EXPECT_FALSE(platform::path_exists(program_files));
  EXPECT_FALSE(run_folder_left());
}

// Every entry beneath the sandbox folders a run writes to, by path relative to the sandbox:
// "folder", "link <target>" or "file <bytes>". The temporary folder, where the log grows and an
// uninstall leaves what goes at the next restart, is left out.
using Tree = std::map<std::string, std::string>;
Tree tree_of(const std::u16string& sandbox_root, const std::vector<std::string>& places) {
  Tree entries;
  const fs::path top_folder(platform::utf16_to_utf8(sandbox_root));
  for (const std::string& place : places) {
    const fs::path top = top_folder / place;
    if (!fs::exists(fs::symlink_status(top))) continue;
    entries[place] = "folder";
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
      const std::string relative =
          entry.path().generic_string().substr(top_folder.generic_string().size() + 1);
      if (relative == "temp/Corvalis Setup.log") continue;
      if (entry.is_symlink()) {
        entries[relative] = "link " + fs::read_symlink(entry.path()).string();
      } else if (entry.is_directory()) {
        entries[relative] = "folder";
      } else {
        entries[relative] = "file " + file_content(platform::utf8_to_utf16(entry.path().string()));
      }
    }
  }
  return entries;
}

// The paths at which two trees differ.
std::vector<std::string> differences(const Tree& a, const Tree& b) {
  std::vector<std::string> paths;
  for (const auto& [path, what] : a) {
    if (!b.contains(path) || b.at(path) != what) paths.push_back(path);
  }
  for (const auto& [path, what] : b) {
    if (!a.contains(path)) paths.push_back(path);
  }
  return paths;
}

TEST_F(InstallRun, AnInstallKeepsACopyOfSetupAndListsItWithWindows) {
  install_run(settings, nullptr);
  const std::u16string copy = under(program_files, {u"Corvalis", u"corvalis-setup"});
  EXPECT_EQ(kept_copy_path(), copy);
  EXPECT_EQ(file_content(copy), "the program's own bytes");
  EXPECT_EQ(::access(platform::utf16_to_utf8(copy).c_str(), X_OK), 0) << "the copy runs";
  std::vector<platform::RegistryValue> values;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::read_registry_values(uninstall_entry(), values, error)) << error;
  const std::u16string quoted = u"\"" + copy + u"\"";
  // The panel's files, the control surface once and the importer at its four targets, the copy.
  std::uint64_t bytes = 3000 + 4 * 5000 + std::string("the program's own bytes").size();
  for (const auto& [path, content] : loader_files) bytes += content.size();
  const std::vector<platform::RegistryValue> expected = {
      {u"DisplayName", u"Corvalis for Premiere Pro", {}},
      {u"DisplayVersion", u"2.0.1", {}},
      {u"Publisher", u"Corvalis", {}},
      {u"DisplayIcon", copy + u",0", {}},
      {u"InstallLocation", under(program_files, {u"Corvalis"}), {}},
      {u"UninstallString", quoted + u" --uninstall", {}},
      {u"QuietUninstallString", quoted + u" --uninstall --silent", {}},
      {u"NoModify", {}, 1},
      {u"NoRepair", {}, 1},
      {u"EstimatedSize", {}, static_cast<std::uint32_t>((bytes + 1023) / 1024)}};
  EXPECT_EQ(values, expected);
  const std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"Registered Corvalis with Windows", "Done"}));

  // A registration that fails is logged and leaves what was installed working.
  settings.program = sandbox.path(u"no such program");
  EXPECT_EQ(run_failure(), "no failure");
  const std::vector<std::string> again = log_messages();
  EXPECT_TRUE(again[again.size() - 2].starts_with("Read ")) << again[again.size() - 2];
  EXPECT_EQ(again.back(), "Done");
}

// An uninstall takes away everything the install placed, and nothing else: the machine is as it
// was before the install (Premiere's own folders were there already), but for the temporary
// folder. A second uninstall finds nothing to remove and succeeds.
TEST_F(InstallRun, AnUninstallLeavesTheMachineAsItWasBeforeTheInstall) {
  for (const std::u16string& folder :
       {under(appdata, {u"Adobe", u"CEP", u"extensions", u"another.panel"}),
        under(appdata, {u"Adobe", u"Premiere Pro", u"24.0"}),
        under(appdata, {u"Adobe", u"Premiere Pro", u"25.0", u"ControlSurface"}),
        under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface"}),
        under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore"}),
        under(program_files, {u"Common Files", u"Adobe", u"Plug-ins", u"7.0", u"MediaCore"}),
        under(program_files_x86, {u"Adobe", u"Common", u"Plug-ins", u"7.0", u"MediaCore"}),
        under(program_files_x86, {u"Common Files", u"Adobe", u"Plug-ins", u"7.0", u"MediaCore"})}) {
    ASSERT_TRUE(make_folders(folder));
  }
  // Another control surface the user keeps, with Windows line ends.
  std::string other(settings_template);
  for (std::size_t at = other.find('\n'); at != std::string::npos; at = other.find('\n', at + 2)) {
    other.replace(at, 1, "\r\n");
  }
  const std::string plugin_list = "<key>PluginList</key>\r\n<prop.list>\r\n";
  other.insert(other.find(plugin_list) + plugin_list.size(),
               "<prop.pair>\r\n<key>other.acsrf</key>\r\n</prop.pair>\r\n");
  put(platform::utf16_to_utf8(under(appdata, {u"Adobe", u"Premiere Pro", u"25.0", u"ControlSurface",
                                              u"ControlSurfaceSettings.xml"})),
      other);
  const std::vector<std::string> places = {"appdata", "Program Files", "Program Files (x86)"};
  const Tree before = tree_of(sandbox.root(), places);

  install_run(settings, nullptr);
  ASSERT_NE(tree_of(sandbox.root(), places), before);
  settings.uninstall = true;
  const std::size_t logged = log_messages().size();
  uninstall_run(settings, nullptr);
  EXPECT_EQ(differences(tree_of(sandbox.root(), places), before), std::vector<std::string>{});
  std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + logged, lines.end()),
            (std::vector<std::string>{"Removing", "Removed the panel", "Removed the plug-ins",
                                      "Switched the command bridge off in 2 Premiere version(s)",
                                      "Removed the uninstall entry", "Done"}));

  uninstall_run(settings, nullptr);
  EXPECT_EQ(differences(tree_of(sandbox.root(), places), before), std::vector<std::string>{});
  lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Removing", "Nothing to remove", "Done"}));
}

// ---------------------------------------------------------------------------------------------
// The sweep: an install over an earlier one, cut at every change it makes to the disk (the fault
// seam of the test build's file functions, platform/file_faults.h), by ending the process there
// or by failing that one call as a full disk would. After each cut the user has the old panel or
// the new one, whole, and every plug-in and settings document holds its old or its new bytes;
// the next run then leaves exactly what an uncut run leaves, and nothing else.

// The sanitizer build cuts at every third change and every rename only: each run costs it
// several times more.
#ifndef CORVALIS_SWEEP_STRIDE
#define CORVALIS_SWEEP_STRIDE 1
#endif

class CutRunBase : public InstallRun {
 protected:
  const std::vector<std::string> places = {"appdata", "Program Files", "Program Files (x86)",
                                           "temp"};
  const std::string outcome_file = platform::utf16_to_utf8(sandbox.path(u"outcome"));
  const std::string trace_file = platform::utf16_to_utf8(sandbox.path(u"trace"));

  Tree tree() { return tree_of(sandbox.root(), places); }

  void restore(const Tree& entries) {
    const fs::path sandbox_root(platform::utf16_to_utf8(sandbox.root()));
    for (const std::string& place : places) {
      for (const auto& entry : fs::directory_iterator(sandbox_root / place)) {
        if (entry.path().filename() != "Corvalis Setup.log") fs::remove_all(entry.path());
      }
    }
    for (const auto& [relative, what] : entries) {  // a folder sorts before what it holds
      if (what == "folder") fs::create_directories(sandbox_root / relative);
      if (what.starts_with("file ")) put(sandbox_root / relative, what.substr(5));
    }
  }

  // The control-surface plug-in is loaded by a running program, as Windows holds it: a rename
  // onto it fails as long as it is there (the failure another program's hold gives, so it is
  // waited out), while it can itself be renamed.
  bool plugin_loaded = false;
  std::u16string control_surface() {
    return under(program_files, {u"Adobe", u"Common", u"Plug-ins", u"ControlSurface"});
  }

  // One install run in a child process with the seam set as `mode` ("end", "fail", "hook" or ""
  // for an uncut run) at change `at`, from the host or, `offline`, from a host that cannot be
  // reached: "ended" when the seam ended it, else the Failure's message or "no failure". The
  // child's trace of changes goes to `trace_file`. Only children use the HTTP client, so no
  // connection is ever shared with a child cut mid-download. In mode "hook", a second run
  // starts at that change in another child of this process and ends before the first goes on;
  // its answer is in `second_outcome`.
  std::string run_cut(const std::string& mode, std::uint64_t at, bool offline = false) {
    return run_child(mode, at, offline, outcome_file, trace_file);
  }
  std::string second_outcome;

 protected:
  // A run in a child process, under way.
  struct Child {
    pid_t pid = -1;
    std::string outcome_path;
    int ask = -1, answer = -1;  // where it asks for a second run, and waits for its end
  };

  Child start_child(const std::string& mode, std::uint64_t at, bool offline,
                    const std::string& outcome_path, const std::string& trace_path) {
    std::remove(outcome_path.c_str());
    std::remove(trace_path.c_str());
    int ask[2], answer[2];
    if (::pipe(ask) != 0 || ::pipe(answer) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ask[0]);
      ::close(answer[1]);
      hook_pipes = {ask[1], answer[0]};
      platform::set_file_change_hook_for_testing([] {
        char byte = 1;
        if (::write(hook_pipes.first, &byte, 1) == 1) {
          static_cast<void>(::read(hook_pipes.second, &byte, 1));
        }
      });
      platform::set_environment_variable_for_testing(u"CORVALIS_FAULT_MODE",
                                                     platform::utf8_to_utf16(mode));
      platform::set_environment_variable_for_testing(u"CORVALIS_FAULT_AT", decimal(at));
      platform::set_environment_variable_for_testing(u"CORVALIS_FAULT_TRACE",
                                                     platform::utf8_to_utf16(trace_path));
      platform::restart_file_change_count_for_testing();
      if (offline) settings.base = host.refused_url("");
      if (offline || plugin_loaded) platform::observe_pauses_for_testing([](std::uint32_t) {});
      if (plugin_loaded) {
        const std::u16string plugin = join_path(control_surface(), u"Corvalis.acsrf");
        refused_error = EBUSY;
        refused = [plugin](const std::u16string& name) {
          return name == u"Corvalis.acsrf" && platform::path_exists(plugin);
        };
      }
      const std::string outcome = run_failure();
      platform::set_environment_variable_for_testing(u"CORVALIS_FAULT_TRACE", u"", true);
      write_outcome(outcome_path, outcome);
      ::_exit(0);
    }
    ::close(ask[1]);
    ::close(answer[0]);
    return {child, outcome_path, ask[0], answer[1]};
  }

  // Waits for the run to end (starting the second run it asks for meanwhile) and answers as
  // run_cut does.
  std::string finish_child(const Child& child) {
    second_outcome.clear();
    char byte = 0;
    if (::read(child.ask, &byte, 1) == 1) {
      second_outcome = run_child("", 0, false, child.outcome_path + "-second",
                                 child.outcome_path + "-second-trace");
      // The first run goes on where it was.
      static_cast<void>(::write(child.answer, &byte, 1));
    }
    ::close(child.ask);
    ::close(child.answer);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 86) return "ended";
    return file_content(platform::utf8_to_utf16(child.outcome_path));
  }

  std::string run_child(const std::string& mode, std::uint64_t at, bool offline,
                        const std::string& outcome_path, const std::string& trace_path) {
    const Child child = start_child(mode, at, offline, outcome_path, trace_path);
    return child.pid > 0 ? finish_child(child) : "no child";
  }

  static void write_outcome(const std::string& file, const std::string& outcome) {
    if (std::FILE* stream = std::fopen(file.c_str(), "wb")) {
      std::fwrite(outcome.data(), 1, outcome.size(), stream);
      std::fclose(stream);
    }
  }

  // The changes of the last run, one "operation path" line each (numbers dropped).
  std::vector<std::string> trace() {
    std::vector<std::string> lines;
    const std::string text = file_content(platform::utf8_to_utf16(trace_file));
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end - start);
      lines.push_back(line.substr(line.find(' ') + 1));
      start = end + 1;
    }
    return lines;
  }
};

// Digits stand for any digits: paths carry process ids and tick counts.
std::string any_digits(const std::string& text) {
  std::string result;
  for (const char c : text) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit || result.empty() || result.back() != '#') result += digit ? '#' : c;
  }
  return result;
}

// What a run must answer when `change` (a line of the trace) fails as a full disk would.
std::string failure_for(const std::string& change, const std::u16string& panel) {
  const std::string operation = change.substr(0, change.find(' '));
  const std::string path = change.substr(change.find(' ') + 1);
  const std::string target =
      path.find(" -> ") == std::string::npos ? path : path.substr(path.find(" -> ") + 4);
  const auto has = [&](const char* part) { return path.find(part) != std::string::npos; };
  const std::string plugins_not_added =
      "Premiere's plug-ins weren't added. Make sure Premiere Pro is closed, then run Setup again.";
  if (has("/corvalis-setup-")) {  // the run folder
    if (operation == "create-folder") return folder_not_made_message(platform::utf8_to_utf16(path));
    if (operation == "open-for-writing" || operation == "write") return download_not_saved_message;
    return "no failure";  // a download's rename into the panel, or the run folder's removal
  }
  // The log and the removal of what a switch replaced are not the run's concern (its record
  // goes once the copy is out of reach), nor is one importer target of four, nor the copy of
  // Setup kept for the uninstall once the install has worked.
  if (has("Corvalis Setup.log") || has(".removed.corvalis-old") ||
      (operation == "delete" && has(".corvalis-switch")) || has("Corvalis_Importer.prm") ||
      has("/Program Files/Corvalis/")) {
    return "no failure";
  }
  if (operation == "create-folder") return folder_not_made_message(platform::utf8_to_utf16(path));
  // The panel's record is flushed with the folder that holds it, beside the extensions folder.
  const bool panel_record = (operation == "flush" && path.ends_with("/Adobe/CEP")) ||
                            (has("com.corvalisplugin.panel") && has(".corvalis-switch"));
  if (has("com.corvalisplugin.panel") || panel_record) {
    if (panel_record || (operation == "rename" && target.ends_with(".corvalis-old"))) {
      return "Couldn't replace the Corvalis panel that's already installed. Restart your "
             "computer and run Setup again.";
    }
    // A download that cannot be moved into the new panel is copied there instead.
    if (operation == "rename" && target != platform::utf16_to_utf8(panel)) return "no failure";
    return "Couldn't write Corvalis into Premiere's extensions folder.";
  }
  // A replacing rename that fails sets the old plug-in aside and renames the new one in.
  if (has("Corvalis.acsrf")) return operation == "rename" ? "no failure" : plugins_not_added;
  if (has("ControlSurfaceSettings.xml")) {
    return "Couldn't switch the command bridge on in Premiere's settings.";
  }
  return "unexpected change " + change;
}

// An earlier install (its panel, both plug-ins, and settings without the command bridge) and
// the state an uncut install of a newer release over it leaves, with the changes that run made.
class CutRun : public CutRunBase {
 protected:
  Tree old_state, new_state;
  std::vector<std::string> changes;
  std::vector<std::string> committed;  // every plug-in target and settings document
  std::string panel_place;

  void SetUp() override {
    CutRunBase::SetUp();
    if (IsSkipped()) return;
    const std::u16string premiere = under(appdata, {u"Adobe", u"Premiere Pro"});
    for (const char16_t* version : {u"24.0", u"25.0"}) {
      fs::create_directories(platform::utf16_to_utf8(join_path(premiere, version)));
    }
    publish("loader", "1.4.1",
            {{"CSXS/manifest.xml", "<ExtensionManifest Version='6.0'/>\n"},
             {"index.html", "<!doctype html><title>old</title>\n"},
             {"old/deep.txt", "only in the old panel\n"}});
    publish("app", "2.0.0",
            {{"host/Corvalis.acsrf", std::string(2000, 'C')},
             {"host/Corvalis_Importer.prm", std::string(4000, 'I')}});
    ASSERT_EQ(run_cut("", 0), "no failure");
    const std::string settings_list = "<key>PluginSettingsList</key>\n<prop.list>\n";
    std::string other_settings(settings_template);
    other_settings.insert(other_settings.find(settings_list) + settings_list.size(),
                          "<prop.pair><key>other.plugin</key><prop.list/></prop.pair>\n");
    const auto document = [&](const char16_t* version) {
      return platform::utf16_to_utf8(
          under(premiere, {version, u"ControlSurface", u"ControlSurfaceSettings.xml"}));
    };
    put(document(u"24.0"), std::string(settings_template));
    put(document(u"25.0"), other_settings);
    old_state = tree();

    // The new release, and what an uncut run over the old one leaves.
    publish("loader", "1.4.3", loader_files);
    publish("app", "2.0.2", app_files);
    ASSERT_EQ(run_cut("", 0), "no failure");
    changes = trace();
    new_state = tree();
    for (const auto& [path, what] : new_state) {
      EXPECT_EQ(path.find(".corvalis-"), std::string::npos) << path;
      EXPECT_FALSE(path.starts_with("temp/")) << path;
    }
    panel_place =
        fs::relative(platform::utf16_to_utf8(panel()), platform::utf16_to_utf8(sandbox.root()))
            .generic_string();
    for (const auto& [path, what] : old_state) {
      if (path.ends_with("/Corvalis.acsrf") || path.ends_with("/Corvalis_Importer.prm") ||
          path.ends_with("/ControlSurfaceSettings.xml")) {
        committed.push_back(path);
        ASSERT_NE(what, new_state.at(path)) << path;
      }
    }
    ASSERT_EQ(committed.size(), 7u);  // one control surface, four importers, two documents
    ASSERT_NE(panel_of(old_state), panel_of(new_state));
  }

  // What the panel's place holds in a state.
  Tree panel_of(const Tree& state) const {
    Tree part;
    for (const auto& [path, what] : state) {
      if (path == panel_place || path.starts_with(panel_place + "/")) part[path] = what;
    }
    return part;
  }
  // The entry `top` of a state and what it holds, by paths relative to it.
  static Tree part_at(const Tree& state, const std::string& top) {
    Tree part;
    for (const auto& [path, what] : state) {
      if (path == top || path.starts_with(top + "/")) part[path.substr(top.size())] = what;
    }
    return part;
  }
  // The copy of the panel a switch set aside, by paths relative to it.
  Tree set_aside_panel(const Tree& state) const {
    const std::string cep = panel_place.substr(0, panel_place.rfind("/extensions/"));
    for (const auto& [path, what] : state) {
      if (path.starts_with(cep + "/com.corvalisplugin.panel.") && path.ends_with(".corvalis-old") &&
          !path.ends_with(".removed.corvalis-old")) {
        return part_at(state, path);
      }
    }
    return Tree{};
  }
  bool panel_old_or_new(const Tree& state) const {
    const Tree now = panel_of(state);
    return now == panel_of(old_state) || now == panel_of(new_state);
  }
  // Every plug-in target and settings document holds its old or its new bytes, whole; `but` may
  // instead be missing, with its old copy whole aside.
  void committed_whole(const Tree& state, const std::string& but = "") const {
    for (const std::string& path : committed) {
      const auto found = state.find(path);
      if (found == state.end() && path == but) {
        std::vector<std::string> aside;
        for (const auto& [other, what] : state) {
          if (other.starts_with(path + ".") && other.ends_with(".corvalis-old") &&
              !other.ends_with(".removed.corvalis-old")) {
            aside.push_back(what);
          }
        }
        EXPECT_EQ(aside, std::vector<std::string>{old_state.at(path)}) << path;
        continue;
      }
      EXPECT_TRUE(found != state.end() &&
                  (found->second == old_state.at(path) || found->second == new_state.at(path)))
          << path;
    }
  }
  std::string offline_failure() const {
    return "Couldn't download Corvalis. Check your internet connection and run Setup again.";
  }
  static void print_figures(const char* what, std::size_t changes, int cuts, int gaps,
                            std::chrono::steady_clock::time_point started) {
    std::printf("%s: %zu changes in a run, %d cuts, %d between a switch's renames, %lld ms\n", what,
                changes, cuts, gaps,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count()));
  }
};

// The sweep, once by ending the process at each change and once by failing it.
class CutRunAtEveryChange : public CutRun, public testing::WithParamInterface<const char*> {};

TEST_P(CutRunAtEveryChange, LeavesOldOrNewAndTheNextRunFinishesIt) {
  int cuts = 0, gaps = 0;
  const auto started = std::chrono::steady_clock::now();
  for (const std::string mode : {GetParam()}) {
    for (std::uint64_t at = 1; at <= changes.size(); ++at) {
      const std::string& change = changes[at - 1];
      if ((at - 1) % CORVALIS_SWEEP_STRIDE != 0 && at != changes.size() &&
          !change.starts_with("rename ")) {
        continue;
      }
      SCOPED_TRACE(mode + " at change " + std::to_string(at) + ": " + change);
      restore(old_state);
      const std::string outcome = run_cut(mode, at);
      ++cuts;
      if (mode == "end") {
        EXPECT_EQ(outcome, "ended");
      } else {
        const std::string expected = failure_for(change, panel());
        EXPECT_EQ(any_digits(outcome), any_digits(expected));
        // A failed step of a commit names itself, its path and the disk's error in the log.
        if (expected != "no failure" && expected != download_not_saved_message) {
          const std::string logged = log_messages().back();
          const std::string path = change.substr(change.find(' ') + 1);
          EXPECT_NE(any_digits(logged).find(any_digits(path.substr(0, path.find(" -> ")))),
                    std::string::npos)
              << logged;
          EXPECT_TRUE(logged.ends_with(" failed (error " + std::to_string(ENOSPC) + ")")) << logged;
        }
      }
      Tree cut = tree();
      // A rename onto the panel: by paths "rename A -> <panel>", into the extensions folder held
      // open "rename <panel>".
      if (panel_of(cut).empty() && mode == "end" && change.starts_with("rename ") &&
          change.ends_with(platform::utf16_to_utf8(panel()))) {
        // Cut between the two renames of the switch: no folder rename swaps two folders, so
        // the old panel is whole beside the extensions folder, set aside.
        EXPECT_EQ(set_aside_panel(cut), part_at(old_state, panel_place));
        ++gaps;
      } else {
        EXPECT_TRUE(panel_old_or_new(cut));
      }
      committed_whole(cut);

      if (mode == "end") {
        // A run that cannot reach the host fails after its clean-up: what the cut set aside is
        // put back, and nothing of old or new is lost.
        EXPECT_EQ(run_cut("", 0, /*offline=*/true), offline_failure());
        cut = tree();
        EXPECT_TRUE(panel_old_or_new(cut));
        committed_whole(cut);
      } else if (change.find(".removed.corvalis-old") != std::string::npos) {
        // The removal of what a switch replaced failed part way, as it does where another
        // program holds a file of it: whatever is left is never taken for a whole copy, even
        // once the panel is gone some other way.
        fs::remove_all(platform::utf16_to_utf8(panel()));
        EXPECT_EQ(run_cut("", 0, /*offline=*/true), offline_failure());
        EXPECT_TRUE(panel_of(tree()).empty());
      }

      EXPECT_EQ(run_cut("", 0), "no failure");
      EXPECT_EQ(tree(), new_state);
      if (HasFailure()) return;  // one broken cut says enough
    }
  }
  print_figures((std::string("sweep, ") + GetParam()).c_str(), changes.size(), cuts, gaps, started);
}

INSTANTIATE_TEST_SUITE_P(ByEndingOrFailing, CutRunAtEveryChange, testing::Values("end", "fail"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

// The uninstall, cut at every change it makes: each part of the install (the panel, every plug-in
// target, every settings document, the kept copy of Setup, the uninstall entry) is installed or
// removed, never damaged, and running the uninstall again finishes the job.
TEST_F(CutRun, AnUninstallCutAtAnyChangeLeavesEachPartInstalledOrRemoved) {
  settings.uninstall = true;
  restore(new_state);
  ASSERT_EQ(run_cut("", 0), "no failure");
  const std::vector<std::string> removal = trace();
  const Tree removed_state = tree();
  std::vector<std::string> parts = committed;
  parts.push_back(panel_place);
  parts.push_back("Program Files/Corvalis/corvalis-setup");
  parts.push_back("Program Files/Corvalis/uninstall-entry");
  for (const std::string& part : parts) {
    ASSERT_NE(part_at(new_state, part), part_at(removed_state, part)) << part;
  }
  const std::set<std::string> answers = {
      "no failure", "Couldn't remove the Corvalis panel. Restart your computer and try again.",
      "Premiere's plug-ins weren't removed. Make sure Premiere Pro is closed, then try again.",
      "Couldn't switch the command bridge off in Premiere's settings.",
      "Couldn't remove Setup's own copy from Program Files. Restart your computer and try again."};
  int cuts = 0;
  const auto started = std::chrono::steady_clock::now();
  for (const std::string mode : {"end", "fail"}) {
    for (std::uint64_t at = 1; at <= removal.size(); ++at) {
      if ((at - 1) % CORVALIS_SWEEP_STRIDE != 0 && at != removal.size()) continue;
      SCOPED_TRACE(mode + " at change " + std::to_string(at) + ": " + removal[at - 1]);
      restore(new_state);
      const std::string outcome = run_cut(mode, at);
      ++cuts;
      EXPECT_TRUE(mode == "end" ? outcome == "ended" : answers.contains(outcome)) << outcome;
      const Tree cut = tree();
      for (const std::string& part : parts) {
        const Tree now = part_at(cut, part);
        EXPECT_TRUE(now == part_at(new_state, part) || now == part_at(removed_state, part)) << part;
      }
      EXPECT_EQ(run_cut("", 0), "no failure");
      EXPECT_EQ(differences(tree(), removed_state), std::vector<std::string>{});
      if (HasFailure()) return;
    }
  }
  print_figures("uninstall", removal.size(), cuts, 0, started);
}

// A plug-in that a running program has loaded resists being replaced, not being renamed: the
// replacement sets it aside and renames the new one in, back to back. Cut at each change from
// there, by ending the process: the plug-in is old or new, or (cut between the two renames)
// missing with its old copy whole aside, which the next run puts back.
TEST_F(CutRun, ALoadedPlugInCutBetweenItsTwoRenamesGoesBack) {
  restore(old_state);
  plugin_loaded = true;
  ASSERT_EQ(run_cut("", 0), "no failure");
  const std::vector<std::string> loaded_changes = trace();
  plugin_loaded = false;
  EXPECT_EQ(tree(), new_state);
  const std::string surface = platform::utf16_to_utf8(control_surface());
  int cuts = 0, gaps = 0;
  const auto started = std::chrono::steady_clock::now();
  for (std::uint64_t at = 1; at <= loaded_changes.size(); ++at) {
    const std::string& change = loaded_changes[at - 1];
    if (change.find(surface) == std::string::npos) continue;
    SCOPED_TRACE("end at change " + std::to_string(at) + ": " + change);
    restore(old_state);
    plugin_loaded = true;
    EXPECT_EQ(run_cut("end", at), "ended");
    plugin_loaded = false;
    ++cuts;
    const Tree cut = tree();
    const std::string plugin =
        fs::relative(surface + "/Corvalis.acsrf", platform::utf16_to_utf8(sandbox.root()))
            .generic_string();
    if (!cut.contains(plugin)) ++gaps;
    committed_whole(cut, plugin);
    EXPECT_EQ(run_cut("", 0, /*offline=*/true), offline_failure());
    committed_whole(tree());
    EXPECT_EQ(run_cut("", 0), "no failure");
    EXPECT_EQ(tree(), new_state);
    if (HasFailure()) return;
  }
  EXPECT_EQ(gaps, 1);
  print_figures("loaded plug-in", loaded_changes.size(), cuts, gaps, started);
}

// A second Setup started while a first runs, at points spread over the whole run: it is refused
// with the message once the first holds the lock (which it takes before its clean-up), or runs
// whole before the first takes it. Either way every artefact is old or new, and the next run
// leaves the new state and nothing else.
TEST_F(CutRun, ASecondRunStartedDuringAnInstallIsRefusedAndBreaksNothing) {
  int points = 0, refused_runs = 0;
  for (std::uint64_t at = 1; at <= changes.size(); ++at) {
    const std::string& change = changes[at - 1];
    if (at % (8 * CORVALIS_SWEEP_STRIDE) != 1 && !change.starts_with("rename ")) continue;
    SCOPED_TRACE("second run at change " + std::to_string(at) + ": " + change);
    restore(old_state);
    EXPECT_EQ(run_cut("hook", at), "no failure");
    ++points;
    if (second_outcome == already_running_message) {
      ++refused_runs;
    } else {
      // Only before the first run has taken the lock, while it writes its first log line.
      EXPECT_EQ(second_outcome, "no failure");
      EXPECT_TRUE(change.ends_with("Corvalis Setup.log")) << change;
    }
    const Tree after = tree();
    EXPECT_TRUE(panel_old_or_new(after));
    committed_whole(after);
    EXPECT_EQ(run_cut("", 0), "no failure");
    EXPECT_EQ(tree(), new_state);
    if (HasFailure()) return;
  }
  EXPECT_GE(refused_runs, points - 1);
  std::printf("second runs: %d started during an install, %d refused\n", points, refused_runs);
}

// Two installs started a moment apart, as separate processes, against a host that answers every
// request slowly: the second at the same moment as the first, and once the first has made one and
// six requests (it takes the lock before its first). One of the two is refused with the message,
// the other installs the new release whole, and the next run leaves that and nothing else.
TEST_F(CutRun, TwoInstallsAMomentApartOneIsRefusedAndTheOtherFinishes) {
  ReleaseHostSession::Script slow;
  for (const auto& [path, body] : served) {
    HostAnswer answer(200, body);
    answer.delay_ms = 300;
    slow.push_back({path, {answer}});
  }
  host.script(slow);
  const std::string first_outcome = outcome_file + "-a", second_outcome_path = outcome_file + "-b";
  for (const std::size_t offset : {0u, 1u, 6u}) {
    SCOPED_TRACE("second started after " + std::to_string(offset) + " requests of the first");
    restore(old_state);
    const std::size_t requested = host.request_paths().size();
    const Child first = start_child("", 0, false, first_outcome, trace_file);
    for (int tries = 0; tries < 3000 && host.request_paths().size() < requested + offset; ++tries) {
      ::usleep(10000);
    }
    const Child second = start_child("", 0, false, second_outcome_path, trace_file + "-b");
    const std::set<std::string> outcomes = {finish_child(first), finish_child(second)};
    if (offset > 0) {
      EXPECT_EQ(file_content(platform::utf8_to_utf16(second_outcome_path)),
                already_running_message);
    }
    EXPECT_EQ(outcomes, (std::set<std::string>{"no failure", already_running_message}));
    EXPECT_EQ(tree(), new_state);
    EXPECT_EQ(run_cut("", 0), "no failure");
    EXPECT_EQ(tree(), new_state);
  }
}

TEST_F(InstallRun, APanelRemovedByHandStaysRemovedBesideAStraySetAsideCopy) {
  install_run(settings, nullptr);
  ASSERT_TRUE(platform::path_exists(panel()));
  // The user removes the panel; a copy set aside long ago, of one file and without a record,
  // lies beside the extensions folder.
  ASSERT_TRUE(remove_tree(panel()));
  const std::u16string stray =
      under(appdata, {u"Adobe", u"CEP", u"com.corvalisplugin.panel.5000.corvalis-old"});
  put(platform::utf16_to_utf8(join_path(stray, u"index.html")), "half a panel");
  // An install that fails before its switch.
  ASSERT_TRUE(scan({u"setup", u"--base", host.refused_url("")}));
  platform::observe_pauses_for_testing([](std::uint32_t) {});
  EXPECT_EQ(run_failure(),
            "Couldn't download Corvalis. Check your internet connection and run Setup again.");
  platform::observe_pauses_for_testing(nullptr);
  EXPECT_FALSE(platform::path_exists(panel()));
  EXPECT_EQ(names_in(under(appdata, {u"Adobe", u"CEP"})), std::vector<std::string>{"extensions"});
}

// ---------------------------------------------------------------------------------------------
// Whose folders a run writes into. The runs above have this process's user signed in; here the
// platform's facts are given: Setup elevated with an administrator's credentials while a standard
// user is signed in, a service's session with no user, SYSTEM started by a deployment tool, and
// each call failing.

// Windows' answers while "alice" is signed in to session 2 and Setup runs there as the
// administrator, her profile folder at `profile`.
UserFacts alice_signed_in(const std::u16string& profile = u"/home/alice") {
  const platform::CallOutcome ok{"RegGetValueW", "", true, 0};
  const std::string key = "HKEY_USERS\\S-1-5-21-7-1001\\";
  return {{ok, 2, ok, u"alice", u"O", ok, u"S-1-5-21-7-1001", ok, u"S-1-5-21-7-500"},
          {{"", "ProfileList", true, 0},
           profile,
           {"RegGetValueW", key + "Software\\...\\User Shell Folders AppData", true, 0},
           u"%USERPROFILE%/AppData/Roaming",
           {"RegGetValueW", key + "Environment TEMP", true, 0},
           u"%USERPROFILE%/Temp"},
          {}};
}

// Windows' answers to SYSTEM in the services' session, where nobody signs in, while the user of
// `facts` is at the console of session `console`.
UserFacts system_with_user_at_console(UserFacts facts, std::uint32_t console) {
  facts.session.session_id = platform::services_session;
  facts.session.own_sid = platform::local_system_sid;
  facts.session.session = facts.session.lookup = {};  // not asked there
  facts.signed_in.console_session = console;
  facts.signed_in.console = {"WTSQueryUserToken", "session " + std::to_string(console), true, 0};
  facts.signed_in.console_sid = facts.session.sid;
  return facts;
}

// The decision in one line: whose folders, the session Premiere Pro is looked for in, the
// roaming and temporary folders, the notes and the failure.
std::string decision(const UserFolders& user) {
  std::string text = (user.another_user ? "another " : "this ") +
                     (user.failure.empty() ? "in " + std::to_string(user.session) + " " : "") +
                     platform::utf16_to_utf8(user.roaming_folder) + " " +
                     platform::utf16_to_utf8(user.temp_folder);
  for (const std::string& note : user.notes) text += " | " + note;
  return user.failure.empty() ? text : text + " => " + user.failure;
}

TEST(SignedInUser, TheFactsDecideWhoseFoldersAndEachFailedCallHasItsLine) {
  const std::string unknown = " => " + std::string(user_folders_unknown_message);
  const std::string key = "HKEY_USERS\\S-1-5-21-7-1001\\";
  const std::string appdata = key + "Software\\...\\User Shell Folders AppData";
  const std::string temp = key + "Environment TEMP", profile = "ProfileList";
  const std::string alice = "another in 2 /home/alice/AppData/Roaming ";
  const std::string no_single_user = "this   => " + std::string(system_without_user_message);
  using Change = std::function<void(UserFacts&)>;
  const platform::CallOutcome denied{"OpenProcessToken", "this process", false, 5};
  // SYSTEM with alice at the console of session 1; then `change`.
  const auto system_run = [](Change change) -> Change {
    return [change](UserFacts& f) { change(f = system_with_user_at_console(f, 1)); };
  };
  // Nobody at the console, and these sessions active, the one's user alice.
  const auto active = [](std::vector<std::uint32_t> sessions) -> Change {
    return [sessions](UserFacts& f) {
      f.signed_in.console_sid.clear();
      f.signed_in.enumeration = {"WTSEnumerateSessionsW", "this computer", true, 0};
      f.signed_in.active_sessions = sessions;
      f.signed_in.active = f.signed_in.console, f.signed_in.active_sid = f.session.sid;
    };
  };
  const std::string alice_in_3 = "another in 3 /home/alice/AppData/Roaming /home/alice/Temp";
  for (const auto& [change, expected] : std::vector<std::pair<Change, std::string>>{
           {[](UserFacts& f) { f.session.own_sid = f.session.sid; }, "this in 2  "},
           {[](UserFacts&) {}, alice + "/home/alice/Temp"},
           {[](UserFacts& f) { f.folders.roaming_folder = u"%userProfile%/R%USERPROFILE%"; },
            "another in 2 /home/alice/R/home/alice /home/alice/Temp"},
           // SYSTEM outside the services' session (started onto a desktop) is elevation as ever.
           {[](UserFacts& f) { f.session.own_sid = platform::local_system_sid; },
            alice + "/home/alice/Temp"},
           // SYSTEM in the services' session: the console's user, else the one active session's.
           {system_run([](UserFacts&) {}),
            "another in 1 /home/alice/AppData/Roaming /home/alice/Temp"},
           {system_run(active({3})), alice_in_3},
           {system_run([&](UserFacts& f) {
              active({3})(f);
              f.signed_in.console_session = platform::no_session, f.signed_in.console = {};
            }),
            alice_in_3},
           {system_run(active({})), no_single_user},
           {system_run(active({3, 4})), no_single_user},
           {system_run([&](UserFacts& f) { active({3})(f), f.signed_in.active_sid.clear(); }),
            no_single_user},
           // Another account there (a deployment tool's) may not ask who is signed in.
           {system_run([](UserFacts& f) { f.session.own_sid = u"S-1-5-21-7-500"; }),
            no_single_user},
           {[](UserFacts& f) {
              f.session.process_session = {"ProcessIdToSessionId", "this process", false, 5};
            },
            "this   | ProcessIdToSessionId this process failed (error 5)" + unknown},
           {system_run([&](UserFacts& f) { f.session.own = denied; }),
            "this   | OpenProcessToken this process failed (error 5)" + unknown},
           {system_run([](UserFacts& f) {
              f.signed_in.console = {"WTSQueryUserToken", "session 1", false, 1314};
            }),
            "this   | WTSQueryUserToken session 1 failed (error 1314)" + unknown},
           {system_run([&](UserFacts& f) {
              active({})(f);
              f.signed_in.enumeration = {"WTSEnumerateSessionsW", "this computer", false, 5};
            }),
            "this   | WTSEnumerateSessionsW this computer failed (error 5)" + unknown},
           {system_run([&](UserFacts& f) {
              active({3})(f);
              f.signed_in.active = {"GetTokenInformation", "TokenUser of session 3", false, 5};
            }),
            "this   | GetTokenInformation TokenUser of session 3 failed (error 5)" + unknown},
           {[](UserFacts& f) { f.session.name.clear(); },
            "this   => " + std::string(no_signed_in_user_message)},
           // Every call that fails is named, and none is taken for nobody signed in.
           {[](UserFacts& f) {
              f.session.session = {"LoadLibraryExW", "wtsapi32.dll", false, 126};
            },
            "this   | LoadLibraryExW wtsapi32.dll failed (error 126)" + unknown},
           {[](UserFacts& f) {
              f.session.session = {"WTSQuerySessionInformationW", "WTSUserName", false, 5};
              f.session.name.clear();
            },
            "this   | WTSQuerySessionInformationW WTSUserName failed (error 5)" + unknown},
           {[](UserFacts& f) {
              f.session.lookup = {"LookupAccountNameW", "O\\alice", false, 1332};
            },
            "this   | LookupAccountNameW O\\alice failed (error 1332)" + unknown},
           {[&](UserFacts& f) { f.session.own = denied; },
            "this   | OpenProcessToken this process failed (error 5)" + unknown},
           {[](UserFacts& f) {
              f.folders.profile = {"RegGetValueW", "ProfileList", false, 2};
            },
            "another   | RegGetValueW ProfileList failed (error 2)" + unknown},
           {[](UserFacts& f) { f.folders.roaming.succeeded = false, f.folders.roaming.error = 2; },
            "another   | RegGetValueW " + appdata + " failed (error 2)" + unknown},
           {[](UserFacts& f) { f.folders.temp.succeeded = false, f.folders.temp.error = 2; },
            alice + " | RegGetValueW " + temp + " failed (error 2)"},
           // Values that are not used: another variable, a stray percent sign, a relative path.
           {[](UserFacts& f) { f.folders.profile_folder = u"%SystemDrive%/Users/alice"; },
            "another   | Can't use " + profile + ": %SystemDrive%/Users/alice" + unknown},
           {[](UserFacts& f) { f.folders.roaming_folder = u"%HOMESHARE%/Roaming"; },
            "another   | Can't use " + appdata + ": %HOMESHARE%/Roaming" + unknown},
           {[](UserFacts& f) { f.folders.roaming_folder = u"%USERPROFILE%/100%"; },
            "another   | Can't use " + appdata + ": %USERPROFILE%/100%" + unknown},
           {[](UserFacts& f) { f.folders.roaming_folder = u"AppData/Roaming"; },
            "another   | Can't use " + appdata + ": AppData/Roaming" + unknown},
           {[](UserFacts& f) { f.folders.temp_folder = u"%TMPROOT%/alice"; },
            alice + " | Can't use " + temp + ": %TMPROOT%/alice"}}) {
    UserFacts facts = alice_signed_in();
    change(facts);
    EXPECT_EQ(decision(decide_user_folders(facts)), expected);
  }
}

// While it lives, the platform answers with the given facts.
class GivenUserFacts {
 public:
  explicit GivenUserFacts(const UserFacts& facts) {
    platform::set_session_user_for_testing(&facts.session, &facts.folders, &facts.signed_in);
  }
  GivenUserFacts(const GivenUserFacts&) = delete;
  GivenUserFacts& operator=(const GivenUserFacts&) = delete;
  ~GivenUserFacts() {
    platform::set_session_user_for_testing(nullptr, nullptr);
    use_log_folder({});
  }
};

TEST_F(InstallRun, AnotherSignedInUserGetsThePanelTheSettingsAndTheLog) {
  const std::u16string desktop_user = sandbox.path(u"desktop user");
  for (const std::u16string& roaming : {appdata, desktop_user}) {
    ASSERT_TRUE(make_folders(under(roaming, {u"Adobe", u"Premiere Pro", u"24.0"})));
  }
  ASSERT_TRUE(make_folders(join_path(desktop_user, u"Temp")));
  const std::u16string own_log = log_file_path();
  UserFacts given = alice_signed_in(desktop_user);
  given.folders.roaming_folder = u"%USERPROFILE%";
  const GivenUserFacts facts(given);
  install_run(settings, nullptr);

  const std::u16string panel =
      under(desktop_user, {u"Adobe", u"CEP", u"extensions", u"com.corvalisplugin.panel"});
  for (const auto& [path, content] : loader_files) {
    EXPECT_EQ(file_content(join_release_path(panel, path)), content) << path;
  }
  EXPECT_TRUE(platform::path_exists(under(
      desktop_user,
      {u"Adobe", u"Premiere Pro", u"24.0", u"ControlSurface", u"ControlSurfaceSettings.xml"})));
  // Nothing of it in the folders of the user Setup runs as, not even the log.
  EXPECT_FALSE(platform::path_exists(under(appdata, {u"Adobe", u"CEP"})));
  EXPECT_FALSE(platform::path_exists(
      under(appdata, {u"Adobe", u"Premiere Pro", u"24.0", u"ControlSurface"})));
  EXPECT_FALSE(platform::path_exists(own_log));
  EXPECT_EQ(log_file_path(), under(desktop_user, {u"Temp", u"Corvalis Setup.log"}));
  const std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Switched the command bridge on in 1 Premiere version(s)",
                                      "Registered Corvalis with Windows", "Done"}));

  // Without that user's temporary folder the log stays in Setup's own, and says why.
  erase_tree(join_path(desktop_user, u"Temp"));
  install_run(settings, nullptr);
  EXPECT_EQ(log_file_path(), own_log);
  EXPECT_EQ(log_messages().at(1), "Read " +
                                      platform::utf16_to_utf8(join_path(desktop_user, u"Temp")) +
                                      " failed (error " + std::to_string(ENOENT) + ")");
}

TEST_F(InstallRun, WithNobodyOrAnUnknownUserSignedInAnInstallFailsBeforeTouchingAnything) {
  put(platform::utf16_to_utf8(join_path(panel(), u"index.html")), "installed before");
  const std::u16string premiere = under(appdata, {u"Adobe", u"Premiere Pro"});
  ASSERT_TRUE(make_folders(join_path(premiere, u"24.0")));
  // Nobody there; someone there whose SID Windows would not give; SYSTEM with several users on.
  UserFacts nobody = alice_signed_in(), unknown = alice_signed_in();
  nobody.session.name.clear();
  unknown.session.lookup = {"LookupAccountNameW", "O\\alice", false, 1789};
  UserFacts several = system_with_user_at_console(alice_signed_in(), platform::no_session);
  several.signed_in.enumeration = {"WTSEnumerateSessionsW", "this computer", true, 0};
  several.signed_in.active_sessions = {2, 3};
  const std::string installing = "Installing from " + platform::utf16_to_utf8(host.base());
  for (const auto& [user, message, last_line] :
       std::vector<std::tuple<UserFacts, std::string, std::string>>{
           {nobody, no_signed_in_user_message, installing},
           {unknown, "Windows didn't say where this user's folders are.",
            "LookupAccountNameW O\\alice failed (error 1789)"},
           {several, system_without_user_message, installing}}) {
    const GivenUserFacts facts(user);
    RecordingWindow window;
    EXPECT_EQ(run_failure(&window), message);
    EXPECT_EQ(window.seen, std::vector<std::string>{});
    EXPECT_EQ(host.request_paths(), std::vector<std::string>{});
    EXPECT_FALSE(run_folder_left());
    EXPECT_EQ(file_content(join_path(panel(), u"index.html")), "installed before");
    EXPECT_FALSE(platform::path_exists(under(premiere, {u"24.0", u"ControlSurface"})));
    EXPECT_EQ(log_messages().back(), last_line);
  }

  {
    // The program itself, in window mode, in the services' session: nobody could press a button
    // there, so it runs silently and answers with the exit code deployment tools read.
    const GivenUserFacts facts(several);
    std::string base = platform::utf16_to_utf8(host.base());
    char program_name[] = "corvalis-setup", base_option[] = "--base";
    char* arguments[] = {program_name, base_option, base.data()};
    platform::remember_arguments(3, arguments);
    EXPECT_EQ(run_program(), 1603);
    EXPECT_EQ(log_messages().back(), "Failed: " + std::string(system_without_user_message));
    EXPECT_EQ(file_content(join_path(panel(), u"index.html")), "installed before");
  }

  // A check touches nothing of anyone's, so it runs with nobody signed in.
  const GivenUserFacts facts(nobody);
  ASSERT_TRUE(scan({u"setup", u"--check", u"--base", host.base()}));
  install_run(settings, nullptr);
  EXPECT_EQ(log_messages().back(), "Check passed: loader 1.4.2, app 2.0.1");
}

TEST_F(InstallRun, ATemporaryFolderSetupCannotUseFailsTheRunBeforeAnythingChanges) {
  put(platform::utf16_to_utf8(join_path(panel(), u"index.html")), "installed before");
  const std::u16string missing = sandbox.path(u"no such folder"), link = sandbox.path(u"link");
  fs::create_directory_symlink(platform::utf16_to_utf8(sandbox.temp()),
                               platform::utf16_to_utf8(link));
  for (const std::u16string& temp : {missing, link}) {
    const ScopedVariable variable(u"TMPDIR", temp);
    for (const bool check : {false, true}) {
      ASSERT_TRUE(check ? scan({u"setup", u"--check", u"--base", host.base()})
                        : scan({u"setup", u"--base", host.base()}));
      EXPECT_EQ(run_failure(), temp_folder_unusable_message);
      // The Failure page shows the log's path there, as it tried it.
      EXPECT_EQ(log_file_path(), join_path(temp, u"Corvalis Setup.log"));
    }
  }
  EXPECT_EQ(host.request_paths(), std::vector<std::string>{});
  EXPECT_EQ(file_content(join_path(panel(), u"index.html")), "installed before");
}

// ---------------------------------------------------------------------------------------------
// The wait for Premiere Pro, with a process that looks like it.

pid_t fake_premiere = 0;
int pauses_seen = 0;

// Each observed pause is one second of waiting; after the first, Premiere "closes".
void close_premiere_on_first_pause(std::uint32_t milliseconds) {
  EXPECT_EQ(milliseconds, 1000u);
  if (++pauses_seen == 1 && fake_premiere > 0) {
    ::kill(fake_premiere, SIGKILL);
    ::waitpid(fake_premiere, nullptr, 0);
    fake_premiere = 0;
  }
}

// A program named like Premiere Pro (its name differs only in letter case, and carries a Windows
// folder), run as `user` when given (this process must be root then), or -1.
pid_t start_fake_premiere(uid_t user = static_cast<uid_t>(-1)) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (user != static_cast<uid_t>(-1) && ::setuid(user) != 0) ::_exit(126);
    char name[] = "C:\\Program Files\\ADOBE PREMIERE PRO.EXE";
    char seconds[] = "60";
    char* arguments[] = {name, seconds, nullptr};
    ::execv("/bin/sleep", arguments);
    ::_exit(127);
  }
  // The child shows its new name once it has started the program.
  const std::string cmdline = "/proc/" + std::to_string(child) + "/cmdline";
  for (int tries = 0; tries < 500; ++tries) {
    std::ifstream started(cmdline);
    if (started.get() == 'C') break;
    ::usleep(10000);
  }
  return child;
}

class PremiereWait : public InstallRun {
 protected:
  void SetUp() override {
    turn.alone();
    InstallRun::SetUp();
    pauses_seen = 0;
    fake_premiere = start_fake_premiere();
  }
  void TearDown() override {
    platform::observe_pauses_for_testing(nullptr);
    if (fake_premiere > 0) {
      ::kill(fake_premiere, SIGKILL);
      ::waitpid(fake_premiere, nullptr, 0);
    }
    InstallRun::TearDown();
  }
};

TEST_F(PremiereWait, InstallModeWaitsUntilPremiereCloses) {
  ASSERT_TRUE(premiere_is_running(find_user_folders().session));
  platform::observe_pauses_for_testing(close_premiere_on_first_pause);
  RecordingWindow window;
  install_run(settings, &window);
  EXPECT_EQ(pauses_seen, 1);
  const std::vector<std::string> first(window.seen.begin(), window.seen.begin() + 6);
  std::vector<std::string> expected =
      report("Close Premiere Pro to continue", "Setup continues once it's closed.", 0);
  const auto next = report("Installing Corvalis", "Downloading...", 10);
  expected.insert(expected.end(), next.begin(), next.end());
  EXPECT_EQ(first, expected);
}

// Premiere Pro started during the downloads: the run waits again before it changes what
// Premiere loads, on the same page as at the start and with nothing logged, then goes on where it
// was. Requests and log lines are those of a run without the wait.
TEST_F(PremiereWait, PremiereStartedDuringTheDownloadsIsWaitedForBeforeEachCommit) {
  const struct {
    const char* when;
    std::string started_at;  // the report after which Premiere starts
    std::function<void()> untouched_while_waiting;
    std::string waits_after;  // the milestone the wait follows, and the report it resumes with
    std::vector<std::string> resumed;
  } cases[] = {
      {"before the panel switch", "progress 10",
       [&] { EXPECT_FALSE(platform::path_exists(panel())); }, "progress 10",
       report("Installing Corvalis", "Downloading...", 10)},
      {"before the first plug-in", "progress 35",
       [&] {
         EXPECT_TRUE(platform::path_exists(panel()));
         EXPECT_FALSE(platform::path_exists(join_path(program_files, u"Adobe")));
       },
       "progress 70", report("Installing Corvalis", "Finishing...", 70)},
  };
  ::kill(fake_premiere, SIGKILL);
  ::waitpid(fake_premiere, nullptr, 0);
  fake_premiere = 0;
  const auto run_logging = [&](WindowReference window) {
    const std::size_t before = log_messages().size();
    install_run(settings, window);
    const std::vector<std::string> lines = log_messages();
    fs::remove_all(platform::utf16_to_utf8(join_path(appdata, u"Adobe")));
    fs::remove_all(platform::utf16_to_utf8(join_path(program_files, u"Adobe")));
    fs::remove_all(platform::utf16_to_utf8(join_path(program_files, u"Common Files")));
    return std::vector<std::string>(lines.begin() + before, lines.end());
  };
  const std::vector<std::string> plain_log = run_logging(nullptr);
  const std::vector<std::string> plain_requests = host.request_paths();

  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    static std::function<void()> on_pause;
    on_pause = c.untouched_while_waiting;
    pauses_seen = 0;
    platform::observe_pauses_for_testing([](std::uint32_t milliseconds) {
      on_pause();
      close_premiere_on_first_pause(milliseconds);
    });
    struct StartsPremiere : RecordingWindow {
      std::string at;
      bool started = false;
      void set_progress(int position) override {
        RecordingWindow::set_progress(position);
        if (seen.back() != at || started) return;
        started = true;
        fake_premiere = start_fake_premiere();
      }
    } window;
    window.at = c.started_at;
    EXPECT_EQ(run_logging(&window), plain_log);
    EXPECT_EQ(pauses_seen, 1);

    std::vector<std::string> expected = milestone_reports();
    std::vector<std::string> wait =
        report("Close Premiere Pro to continue", "Setup continues once it's closed.", 0);
    wait.insert(wait.end(), c.resumed.begin(), c.resumed.end());
    expected.insert(std::find(expected.begin(), expected.end(), c.waits_after) + 1, wait.begin(),
                    wait.end());
    EXPECT_EQ(window.reports(), expected);
  }
  const std::vector<std::string> requests = host.request_paths();
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + plain_requests.size()),
            plain_requests);
  EXPECT_EQ(requests.size(), 3 * plain_requests.size());
}

// Another user's Premiere Pro, in another session, holds none of this user's files: an install
// neither waits for it nor is kept from finishing by it. Run by SYSTEM for that user, signed in
// at the console, the install waits for it and installs into that user's folders.
TEST_F(PremiereWait, AnotherUsersPremiereIsNotWaitedForUnlessTheRunIsForThatUser) {
  if (::getuid() != 0) GTEST_SKIP() << "a program of another user takes root to start";
  ::kill(fake_premiere, SIGKILL);
  ::waitpid(fake_premiere, nullptr, 0);
  fake_premiere = start_fake_premiere(65534);
  ASSERT_FALSE(premiere_is_running(find_user_folders().session));
  platform::observe_pauses_for_testing(close_premiere_on_first_pause);
  install_run(settings, nullptr);
  EXPECT_EQ(pauses_seen, 0);
  EXPECT_EQ(log_messages().back(), "Done");

  // The stand-in's session of user 65534.
  const std::u16string console_user = sandbox.path(u"console user");
  ASSERT_TRUE(make_folders(join_path(console_user, u"Temp")));
  UserFacts given = system_with_user_at_console(alice_signed_in(console_user), 65535);
  given.folders.roaming_folder = u"%USERPROFILE%";
  const GivenUserFacts facts(given);
  ASSERT_TRUE(premiere_is_running(find_user_folders().session));
  install_run(settings, nullptr);
  EXPECT_EQ(pauses_seen, 1);
  EXPECT_EQ(log_file_path(), under(console_user, {u"Temp", u"Corvalis Setup.log"}));
  EXPECT_EQ(log_messages().back(), "Done");
}

TEST_F(PremiereWait, CheckModeDoesNotWait) {
  ASSERT_TRUE(scan({u"setup", u"--check", u"--base", host.base()}));
  ASSERT_TRUE(premiere_is_running(find_user_folders().session));
  platform::observe_pauses_for_testing(close_premiere_on_first_pause);
  install_run(settings, nullptr);
  EXPECT_EQ(pauses_seen, 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Soak: many check runs in one process against a host that fails one request in five, each
// with a 503 or a connection closed mid-body. Every run passes, or fails with the download
// message exactly when one request failed all three attempts; the log holds one line per failed
// attempt; and nothing accumulates: no run folder, no temporary file, no open descriptor.

std::vector<std::uint32_t> soak_pauses;

void record_soak_pause(std::uint32_t milliseconds) {
  soak_pauses.push_back(milliseconds);
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::set<std::string> temp_entries() {
  std::set<std::string> names;
  for (const auto& entry :
       fs::directory_iterator(platform::utf16_to_utf8(platform::temp_folder()))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST_F(InstallRun, TwoHundredChecksAgainstAHostThatFailsOneRequestInFive) {
  const std::string offline =
      "Couldn't download Corvalis. Check your internet connection and run Setup again.";
  std::mt19937 random(20261209);
  platform::observe_pauses_for_testing(record_soak_pause);
  struct RestorePauses {
    ~RestorePauses() { platform::observe_pauses_for_testing(nullptr); }
  } restore_pauses;
  ASSERT_TRUE(scan({u"setup", u"--check", u"--base", host.base()}));
  install_run(settings, nullptr);  // a first run, so that what lives on between runs exists already
  const std::size_t descriptors = open_descriptors();
  const std::set<std::string> temp_before = temp_entries();
  int passed = 0, failed = 0, failed_attempts = 0;
  for (int run = 0; run < 200; ++run) {
    // Three answers per path, as a request is tried at most three times.
    ReleaseHostSession session;
    ReleaseHostSession::Script script;
    std::map<std::string, std::vector<bool>> failing;
    for (const auto& [path, body] : served) {
      std::vector<HostAnswer> answers;
      for (int attempt = 0; attempt < 3; ++attempt) {
        const unsigned roll = random() % 10;
        answers.emplace_back(roll == 0 ? 503 : 200, roll == 0 ? std::string() : body);
        if (roll == 1) answers.back().cut = static_cast<long long>(body.size() / 2);
        failing[path].push_back(roll <= 1);
      }
      script.push_back({path, answers});
    }
    session.script(script);
    ASSERT_TRUE(scan({u"setup", u"--check", u"--base", session.base()}));
    const std::size_t lines_before = log_messages().size();
    soak_pauses.clear();

    const std::string outcome = run_failure();

    std::map<std::string, int> requested;
    for (const std::string& path : session.request_paths()) ++requested[path];
    int failures_served = 0;
    bool gave_up = false;
    for (const auto& [path, count] : requested) {
      const int served_failures = static_cast<int>(
          std::count(failing[path].begin(), failing[path].begin() + std::min(count, 3), true));
      failures_served += served_failures;
      gave_up = gave_up || served_failures == 3;
    }
    const std::vector<std::string> lines = log_messages();
    const auto attempt_lines = std::count_if(
        lines.begin() + static_cast<std::ptrdiff_t>(lines_before), lines.end(),
        [](const std::string& line) {
          return line.starts_with("GET ") && line.find(" failed (status ") != std::string::npos;
        });
    SCOPED_TRACE("run " + std::to_string(run));
    EXPECT_EQ(attempt_lines, failures_served);
    // Every failed attempt is followed by its pause (1, 2, 3 s), observed and not slept.
    EXPECT_EQ(soak_pauses.size(), static_cast<std::size_t>(failures_served));
    EXPECT_EQ(outcome, gave_up ? offline : "no failure");
    EXPECT_FALSE(run_folder_left());
    (gave_up ? failed : passed) += 1;
    failed_attempts += failures_served;
  }
  EXPECT_EQ(open_descriptors(), descriptors);
  EXPECT_EQ(temp_entries(), temp_before);
  // The mix the soak is meant to exercise did happen.
  EXPECT_GT(passed, 100);
  EXPECT_GT(failed, 0);
  std::printf("soak: %d runs passed, %d failed with the download message, %d failed attempts\n",
              passed, failed, failed_attempts);
}
