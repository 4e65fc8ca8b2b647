// Shared by the reader benchmarks: a private folder of emulated readers that
// the kit is pointed at, and waiting on a condition with a deadline.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace kk::bench {

class ReaderFolder {
 public:
  explicit ReaderFolder(const std::string& tag) {
    path_ = std::filesystem::temp_directory_path() / ("kk-bench-" + tag + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    setenv("KIOSKKIT_READER_DIR", path_.c_str(), 1);
  }
  ~ReaderFolder() {
    unsetenv("KIOSKKIT_READER_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ReaderFolder(const ReaderFolder&) = delete;
  ReaderFolder& operator=(const ReaderFolder&) = delete;
  [[nodiscard]] std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kk::bench
