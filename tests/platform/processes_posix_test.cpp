// The process list on POSIX, read from /proc while processes come and go.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/users.h"

namespace {

// A process that exits while the list is read (its /proc entry then refuses reads with ESRCH)
// is simply left out: the list never fails, and nothing of the walk is left open.
TEST(Processes, ProcessesExitingDuringTheWalkAreLeftOut) {
  std::atomic<bool> done{false};
  std::thread churn([&] {
    while (!done) {
      const pid_t child = ::fork();
      if (child == 0) ::_exit(0);
      if (child > 0) ::waitpid(child, nullptr, 0);
    }
  });
  std::uint32_t session = 0;
  ASSERT_TRUE(platform::this_process_session(session).succeeded);
  int walks = 0;
  for (; walks < 600; ++walks) {
    std::vector<std::u16string> names;
    bool listed = false;
    EXPECT_NO_THROW(listed = platform::running_process_names(names, session));
    if (!listed) break;
  }
  done = true;
  churn.join();
  EXPECT_EQ(walks, 600);
}

}  // namespace
