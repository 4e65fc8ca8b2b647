// The shared library as a host loads it: loading starts the reader threads,
// unloading and process exit stop every one of them before the library's
// code goes away.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"

namespace kk::testing {
namespace {

size_t thread_count() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

using ReadDevList = uint32_t (*)(uint16_t*, uint32_t);

TEST(LibraryLifetime, UnloadingStopsEveryThreadAndReleasesTheReaders) {
  ReaderFolder folder;
  auto reader = folder.plug();
  reader->present_new_card(emu::CardType::classic_1k, kUid);
  const size_t threads_before = thread_count();

  void* library = dlopen(CARDKIT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto readdevlist = reinterpret_cast<ReadDevList>(dlsym(library, "readdevlist"));
  ASSERT_NE(readdevlist, nullptr);
  ASSERT_TRUE(eventually([&] { return readdevlist(nullptr, 0) == 1; }));
  EXPECT_GT(thread_count(), threads_before);

  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(thread_count(), threads_before) << "a thread outlived the library";
  EXPECT_TRUE(eventually([&] { return !reader->connected(); }));
  const auto lines = folder.log_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "dllInit"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "devMain\tEnd"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "cardMain\tExit"), 1);
}

TEST(LibraryLifetime, ProcessExitWithReadersAttachedEndsCleanly) {
  ReaderFolder folder;
  auto reader = folder.plug();
  reader->present_new_card(emu::CardType::classic_1k, kUid);

  // A process of its own (spawned, not forked: the test's threads stay here).
  char* const child_argv[] = {const_cast<char*>(EXIT_CHILD), const_cast<char*>(CARDKIT_LIBRARY), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, EXIT_CHILD, nullptr, nullptr, child_argv, environ), 0);
  int status = 0;
  ASSERT_TRUE(eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(20)))
      << "the process did not end";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const auto lines = folder.log_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "cardMain\tExit"), 1);
}

}  // namespace
}  // namespace kk::testing
