// Shared by the reader benchmarks: a private folder of emulated readers that
// the kit is pointed at, and waiting on a condition with a deadline.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "emulators/reader/emulated_reader.h"

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

// One emulated reader with a card (UID 12345678) in its field, attached to
// the kit's device manager, which it starts and, when it goes, stops.
struct AttachedReader {
  ReaderFolder folder;
  std::unique_ptr<emu::EmulatedReader> reader;

  explicit AttachedReader(const std::string& tag) : folder(tag) {
    emu::ReaderEmulatorOptions options;
    options.folder = folder.path();
    reader = std::make_unique<emu::EmulatedReader>(options, 1);
    reader->present_new_card(emu::CardType::classic_1k, {0x12, 0x34, 0x56, 0x78});
    cardkit::DeviceManager::instance().start();
    uint16_t id = 0;
    uint32_t serial = 0;
    if (!eventually([&] { return requestCard(&id, &serial, 100) == 0; }, std::chrono::seconds(30)))
      throw std::runtime_error("the emulated reader was not attached");
  }
  ~AttachedReader() {
    cardkit::DeviceManager::instance().stop();
    reader.reset();
  }
};

// A bare client of a reader emulator, with no kit at all: it sends one
// request report as the host does (a command packet, byte-reversed) and
// waits for a one-report reply. On an emulator that echoes (the default
// handler) this is the cheapest exchange the socket and the emulator's
// pacing allow: the baseline of the kit's figures.
class BareClient {
 public:
  explicit BareClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    std::array<uint8_t, 4> attributes{};
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 ::recv(fd_, attributes.data(), attributes.size(), MSG_WAITALL) == 4;
    const std::array<uint8_t, 9> payload{};
    auto packet = emu::encode_reply(1, 0x0900, payload);
    std::reverse(packet.begin(), packet.end());
    std::copy(packet.begin(), packet.end(), request_.begin() + 1);
  }
  ~BareClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;

  [[nodiscard]] bool connected() const { return connected_; }
  // One exchange; false when the socket failed.
  bool exchange() {
    return ::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL) == 65 &&
           ::recv(fd_, reply_.data(), reply_.size(), MSG_WAITALL) == 65;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::array<uint8_t, 65> request_{};
  std::array<uint8_t, 65> reply_{};
};

}  // namespace kk::bench
