// Platform behaviour of POSIX systems only: a drive letter is the folder
// named by KIOSKKIT_DRIVE_<LETTER>, read afresh on each call; and nothing
// the kit writes ends the process with SIGPIPE.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/drive.h"
#include "platform/files.h"
#include "platform/msgbox.h"

namespace kk::platform {
namespace {

struct DriveCase {
  const char* drive_c;
  const char* drive_d;
  const char* path;
  const char* expected;  // nullptr: the drive does not exist
};

TEST(DrivePath, MapsDriveLettersOntoFolders) {
  const DriveCase cases[] = {
      {nullptr, "/var/log/kiosk", "D://log121110.txt", "/var/log/kiosk/log121110.txt"},
      {"/srv/cash", nullptr, "C:\\20130205.txt", "/srv/cash/20130205.txt"},
      {"/srv/cash/", nullptr, "C:\\a\\\\b//c.txt", "/srv/cash/a/b/c.txt"},
      {"/srv/cash", nullptr, "c:\\lower.txt", "/srv/cash/lower.txt"},
      {"/srv/cash", nullptr, "relative/name.txt", "relative/name.txt"},
      {nullptr, nullptr, "D://log121110.txt", nullptr},
      {"", "", "C:\\x.txt", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.drive_c)
      setenv("KIOSKKIT_DRIVE_C", c.drive_c, 1);
    else
      unsetenv("KIOSKKIT_DRIVE_C");
    if (c.drive_d)
      setenv("KIOSKKIT_DRIVE_D", c.drive_d, 1);
    else
      unsetenv("KIOSKKIT_DRIVE_D");
    const auto resolved = resolve_drive_path(c.path);
    if (c.expected == nullptr) {
      EXPECT_FALSE(resolved.has_value());
    } else {
      ASSERT_TRUE(resolved.has_value());
      EXPECT_EQ(*resolved, c.expected);
    }
  }
  unsetenv("KIOSKKIT_DRIVE_C");
  unsetenv("KIOSKKIT_DRIVE_D");
}

// Runs `body` in a child process whose standard error is a pipe nobody reads
// any more, with SIGPIPE at its default action (the end of the process).
// Returns the child's wait status.
int in_child_with_stderr_closed(void (*body)()) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::close(pipe_ends[0]);
    ::dup2(pipe_ends[1], STDERR_FILENO);
    body();
    ::_exit(0);
  }
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  int status = -1;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(NoSigpipe, WritingToAStandardErrorNobodyReadsDoesNotEndTheProcess) {
  const int status = in_child_with_stderr_closed([] { show_message_box("QUILL", "no one reads this"); });
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NoSigpipe, ALogPathNamingAFifoWithoutAReaderDropsTheLineAtOnce) {
  const auto fifo = std::filesystem::temp_directory_path() / ("kk-fifo-" + std::to_string(::getpid()));
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Neither waits for a reader (which would hold the thread for ever) nor
  // ends the process.
  const int status = in_child_with_stderr_closed([] {
    const auto path = std::filesystem::temp_directory_path() / ("kk-fifo-" + std::to_string(::getppid()));
    ::_exit(append_to_file(path.string(), "dropped\r\n") ? 1 : 0);
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::filesystem::remove(fifo);
}

}  // namespace
}  // namespace kk::platform
