// CPU the kit spends while idle: eight emulated readers attached, no card in
// any field, nothing asked of the library. The readers run in a child
// process so that only the kit's own threads (discovery and eight card
// threads polling every 50 ms) are counted by getrusage in this one.
//
// usage: reader_idle_bench [seconds]   (default 10)
// Prints the CPU time as a percentage of one core; the goal is under 1%.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/reader/common.h"
#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "emulators/reader/emulated_reader.h"

namespace {

constexpr int kReaders = 8;

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The child: plugs the readers in, says so on `ready`, and keeps them until
// `control` closes (the parent is done or gone).
[[noreturn]] void serve_readers(const std::string& folder, int ready, int control) {
  {
    std::vector<std::unique_ptr<kk::emu::EmulatedReader>> readers;
    for (int i = 0; i < kReaders; ++i) {
      kk::emu::ReaderEmulatorOptions options;
      options.folder = folder;
      options.name = "reader" + std::to_string(i);
      readers.push_back(std::make_unique<kk::emu::EmulatedReader>(options, static_cast<uint16_t>(i + 1)));
      readers.back()->set_log_limit(64);
    }
    const char byte = 1;
    if (::write(ready, &byte, 1) != 1) std::_Exit(1);
    char ignored;
    while (::read(control, &ignored, 1) > 0) {
    }
  }
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
    return 2;
  }
  kk::bench::ReaderFolder folder("idle");

  int ready[2];
  int control[2];
  if (::pipe(ready) != 0 || ::pipe(control) != 0) return 1;
  // Forked before this process starts any thread.
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::close(ready[0]);
    ::close(control[1]);
    serve_readers(folder.path(), ready[1], control[0]);
  }
  ::close(ready[1]);
  ::close(control[0]);
  char byte = 0;
  if (::read(ready[0], &byte, 1) != 1) {
    std::fprintf(stderr, "the reader process did not start\n");
    return 1;
  }

  auto& manager = kk::cardkit::DeviceManager::instance();
  manager.start();
  const bool all = kk::bench::eventually([] { return readdevlist(nullptr, 0) == kReaders; }, std::chrono::seconds(60));
  int status = 0;
  if (!all) {
    std::fprintf(stderr, "only %u of %d readers attached\n", readdevlist(nullptr, 0), kReaders);
    status = 1;
  } else {
    // Let attachment settle, then measure.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu_before = cpu_seconds();
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpu_seconds() - cpu_before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const double percent = 100.0 * cpu / wall;
    std::printf("idle with %d readers attached, no card, %.1f s: kit CPU %.3f s = %.2f%% of one core (goal < 1%%)\n",
                kReaders, wall, cpu, percent);
    if (readdevlist(nullptr, 0) != kReaders) {
      std::fprintf(stderr, "a reader was lost during the measurement\n");
      status = 1;
    }
  }
  manager.stop();
  ::close(control[1]);
  ::waitpid(child, nullptr, 0);
  return status;
}
