#include "log/setup_log.h"

#include <gtest/gtest.h>

#include "fs/paths.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "support/file_setups.h"
#include "support/sandbox.h"

namespace {

TEST(LogLineFormat, IsTheTimeStampTheMessageAndCrLf) {
  EXPECT_EQ(format_log_line({2026, 3, 7, 9, 5, 3}, "Done"), "2026-03-07 09:05:03 Done\r\n");
  EXPECT_EQ(format_log_line({2026, 12, 31, 23, 59, 59}, ""), "2026-12-31 23:59:59 \r\n");
  // Every field keeps its width: a short year gets leading zeros, a long one all its digits.
  EXPECT_EQ(format_log_line({987, 1, 1, 0, 0, 0}, "x"), "0987-01-01 00:00:00 x\r\n");
  EXPECT_EQ(format_log_line({30827, 12, 31, 23, 59, 59}, "x"), "30827-12-31 23:59:59 x\r\n");
  // The message is copied byte for byte: UTF-8 and stray bytes alike.
  EXPECT_EQ(format_log_line({2027, 1, 2, 0, 0, 0}, "Failed: caf\xC3\xA9 \x01"),
            "2027-01-02 00:00:00 Failed: caf\xC3\xA9 \x01\r\n");
}

class SetupLog : public testing::Test {
 protected:
  void TearDown() override { use_log_folder({}); }

  Sandbox sandbox;

  // Lines of the log without their time stamps; checks every stamp's shape on the way.
  std::vector<std::string> messages() {
    const std::string content = file_content(log_file_path());
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < content.size()) {
      const std::size_t end = content.find("\r\n", start);
      EXPECT_NE(end, std::string::npos) << "a line without CR LF";
      if (end == std::string::npos) break;
      const std::string line = content.substr(start, end - start);
      EXPECT_GE(line.size(), 20u);
      EXPECT_EQ(line[4], '-');
      EXPECT_EQ(line[10], ' ');
      EXPECT_EQ(line[13], ':');
      EXPECT_EQ(line[19], ' ');
      result.push_back(line.substr(20));
      start = end + 2;
    }
    return result;
  }
};

TEST_F(SetupLog, LivesInTheTemporaryFolder) {
  EXPECT_EQ(log_file_path(), join_path(sandbox.temp(), u"Corvalis Setup.log"));
}

TEST_F(SetupLog, CreatesTheFileThenAppendsKeepingEarlierLines) {
  EXPECT_FALSE(platform::path_exists(log_file_path()));
  log_line("first");
  log_line("");
  log_line("caf\xC3\xA9");
  EXPECT_EQ(messages(), (std::vector<std::string>{"first", "", "caf\xC3\xA9"}));
  const std::string content = file_content(log_file_path());
  EXPECT_NE(content.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
}

TEST_F(SetupLog, AnUnwritableTemporaryFolderDropsTheLineQuietly) {
  // A file where the temporary folder should be: the log cannot be opened beneath it.
  const std::u16string blocked = sandbox.path(u"not-a-folder");
  put_file(blocked, "x");
  platform::set_environment_variable_for_testing(u"TMP", blocked);
  platform::set_environment_variable_for_testing(u"TEMP", blocked);
  platform::set_environment_variable_for_testing(u"TMPDIR", blocked);
  log_line("lost");  // must neither throw nor crash
  EXPECT_EQ(file_content(blocked), "x");
}

TEST_F(SetupLog, ASecondWriterIsRefusedWhileTheLogIsOpen) {
  log_line("one");
  platform::OpenFolder folder;
  platform::File holder;
  ASSERT_TRUE(folder.open(sandbox.temp()));
  ASSERT_TRUE(holder.open_for_appending(folder, u"Corvalis Setup.log"));
  log_line("dropped");
  holder.close();
  log_line("two");
  EXPECT_EQ(messages(), (std::vector<std::string>{"one", "two"}));
}

// The temporary folder may be another user's, who can put anything at the log's name.
TEST_F(SetupLog, ALinkAtTheLogsNameLeadsNowhere) {
  const std::u16string elsewhere = sandbox.path(u"elsewhere"), missing = sandbox.path(u"missing");
  put_file(elsewhere, "not the log");
  for (const std::u16string& target : {elsewhere, missing}) {
    const std::string why = make_file_link(log_file_path(), target);
    if (!why.empty()) GTEST_SKIP() << "A link to a file is needed, but " << why;
    log_line("dropped");
    EXPECT_EQ(file_content(elsewhere), "not the log");
    EXPECT_FALSE(platform::path_exists(missing)) << "a file was made where the link pointed";
    EXPECT_TRUE(platform::delete_file(log_file_path()));
  }
}

}  // namespace
