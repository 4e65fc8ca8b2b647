// The device manager: finds readers by itself and watches each one's field.
//
// A discovery thread looks for a newly plugged reader every 100 ms, brings
// its link up, reads its configuration and appends it to the registry. Each
// reader then gets a card thread that polls its field (every 50 ms without
// a card, 100 ms with one), signals the "DevListen" event when a card
// arrives, drops the card's fmt10 record when it leaves, and retires the
// reader when an exchange fails at transport level.
//
// Every operation addresses the newest reader, the one attached last.
//
// Lock order: registry lock, then a reader's lock, then the card cache lock.
// Only writedevid holds the registry lock while taking a reader lock; every
// other path lets go of the registry lock first. A card thread never holds
// its reader lock while taking another lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "cardkit/devices/reader_device.h"
#include "platform/event.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace kk::cardkit {

// A selected reader with its lock held, released when the lease goes away.
class ReaderLease {
 public:
  ReaderLease() = default;
  explicit ReaderLease(ReaderPtr reader) : reader_(std::move(reader)), lock_(reader_->link.lock) {}

  explicit operator bool() const { return reader_ != nullptr; }
  ReaderDevice* operator->() const { return reader_.get(); }
  ReaderDevice& operator*() const { return *reader_; }

 private:
  ReaderPtr reader_;
  std::unique_lock<platform::RecursiveLock> lock_;
};

class DeviceManager {
 public:
  // The process-wide manager.
  static DeviceManager& instance();
  ~DeviceManager();

  // Starts the discovery thread (once; again after stop()).
  void start();
  // Clears the running flag and waits for the discovery thread and every
  // card thread to leave; the registry is empty afterwards.
  void stop();
  [[nodiscard]] bool running() const { return running_.load(); }

  // The newest reader, when there is one and `device_id` is 0 or its id.
  [[nodiscard]] ReaderPtr newest(uint16_t device_id = 0);
  // The newest reader, when it has a card in its field and `serial` is 0 or
  // that card's serial.
  [[nodiscard]] ReaderPtr newest_with_card(uint32_t serial);
  // newest() with its reader lock taken after the registry lock is released.
  [[nodiscard]] ReaderLease acquire_reader(uint16_t device_id);

  // The registry's changed flag, cleared by the read.
  [[nodiscard]] bool take_changed();
  // Device ids, newest first: at most `capacity` are stored when `ids` is
  // given. Returns how many were stored (with no array: how many readers).
  [[nodiscard]] uint32_t list(uint16_t* ids, uint32_t capacity);
  // Gives the reader at `position` (0 = newest) a new device id.
  [[nodiscard]] ReaderResult set_device_id(uint32_t position, uint16_t new_id);
  // The newest reader's device id and card serial when a card is present now
  // or arrives within `timeout_ms`.
  [[nodiscard]] ReaderResult wait_for_card(uint16_t& device_id, uint32_t& serial, uint32_t timeout_ms);

 private:
  DeviceManager() = default;

  void discovery_main();
  // One pass of discovery: true when a reader was attached.
  bool discovery_pass();
  // Publishes the reader and starts its card thread; false (and the reader
  // withdrawn again) when no thread could be had.
  bool attach(const ReaderPtr& reader);
  // Takes the reader out of the registry and closes its device under its lock.
  void withdraw(const ReaderPtr& reader);
  // The card thread: watches the field until the reader is gone or the
  // manager stops, then retires the reader. Throws nothing.
  void card_main(const ReaderPtr& reader);
  void watch_field(ReaderDevice& reader);
  // Waits `ms`, leaving at once when the manager is stopped. False then.
  [[nodiscard]] bool pause(uint32_t ms);
  void reap_card_threads(bool all);

  std::atomic<bool> running_{false};
  platform::ManualResetEvent stopping_;  // set by stop(): wakes every pause
  std::mutex lifecycle_;                 // start() and stop()
  platform::Thread discovery_;

  struct CardThread {
    platform::Thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex card_threads_lock_;
  std::vector<CardThread> card_threads_;

  platform::RecursiveLock registry_lock_;
  std::vector<ReaderPtr> readers_;  // oldest first; the newest is the last
  bool changed_ = false;

  platform::AutoResetEvent dev_listen_{"DevListen"};
};

}  // namespace kk::cardkit
