#include "cardkit/devices/device_manager.h"

#include <algorithm>
#include <utility>

#include "cardkit/commands/commands.h"
#include "cardkit/layouts/fmt10/card_cache.h"
#include "cardkit/log/log.h"
#include "cardkit/transport/transport.h"
#include "common/boundary.h"
#include "common/bytes.h"

namespace kk::cardkit {
namespace {

constexpr uint32_t kDiscoveryPauseMs = 100;
constexpr uint32_t kPollWithoutCardMs = 50;
constexpr uint32_t kPollWithCardMs = 100;
constexpr uint32_t kIsoSessionCheckMs = 50;

// Drops the fmt10 record of a card that left the field, if there is one.
void forget_card(uint32_t serial) {
  if (auto record = fmt10_cache_find(serial)) fmt10_cache_remove(record);
}

}  // namespace

DeviceManager& DeviceManager::instance() {
  static DeviceManager manager;
  return manager;
}

DeviceManager::~DeviceManager() { stop(); }

void DeviceManager::start() {
  std::lock_guard guard(lifecycle_);
  if (running_.exchange(true)) return;
  stopping_.reset();
  discovery_ = platform::Thread::start([this] { discovery_main(); });
  if (!discovery_.joinable()) running_ = false;
}

void DeviceManager::stop() {
  std::lock_guard guard(lifecycle_);
  running_ = false;
  stopping_.set();
  discovery_.join();
  reap_card_threads(true);
}

bool DeviceManager::pause(uint32_t ms) {
  // One wait on the stop event instead of a chain of short sleeps: a stop
  // is seen at once, and an idle reader costs one wake-up per poll.
  return !stopping_.wait(ms) && running_;
}

void DeviceManager::reap_card_threads(bool all) {
  std::vector<CardThread> finished;
  {
    std::lock_guard guard(card_threads_lock_);
    auto split = std::stable_partition(card_threads_.begin(), card_threads_.end(),
                                       [all](const CardThread& t) { return !all && !t.done->load(); });
    std::move(split, card_threads_.end(), std::back_inserter(finished));
    card_threads_.erase(split, card_threads_.end());
  }
  for (auto& t : finished) t.thread.join();
}

void DeviceManager::discovery_main() {
  write_log("%s\tStart\r\n", "devMain");
  while (running_) {
    // A pass that fails (say, memory runs out) costs that pass, not the
    // discovery of every later reader.
    bool found = false;
    try {
      found = discovery_pass();
    } catch (...) {
    }
    if (!found) (void)pause(kDiscoveryPauseMs);
  }
  write_log("%s\tEnd\r\n", "devMain");
}

bool DeviceManager::discovery_pass() {
  reap_card_threads(false);
  platform::HidDevice hid = reader_open();
  if (!hid.is_open()) return false;
  auto reader = std::make_shared<ReaderDevice>();
  reader->link.hid = std::move(hid);
  if (!succeeded(reader_start_link(reader->link))) return false;  // closed as `reader` goes
  (void)reader_load_config(reader->link, reader->config);
  return attach(reader);
}

bool DeviceManager::attach(const ReaderPtr& reader) {
  // Everything that may fail for want of memory is done before the reader is
  // published, so that a published reader always gets its thread or is
  // withdrawn again.
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard guard(card_threads_lock_);
    card_threads_.reserve(card_threads_.size() + 1);
  }
  {
    std::lock_guard guard(registry_lock_);
    readers_.reserve(readers_.size() + 1);
    changed_ = true;
    readers_.push_back(reader);
  }
  platform::Thread thread;
  try {
    thread = platform::Thread::start([this, reader, done] {
      card_main(reader);
      *done = true;
    });
  } catch (...) {
  }
  if (!thread.joinable()) {
    withdraw(reader);
    return false;
  }
  std::lock_guard guard(card_threads_lock_);
  card_threads_.push_back({std::move(thread), std::move(done)});  // room reserved above
  return true;
}

void DeviceManager::withdraw(const ReaderPtr& reader) {
  // Out of the registry first, so no export selects it any more; then its
  // device is closed under its lock, so an export that selected it already
  // finishes its exchange first and any later one finds the device closed.
  {
    std::lock_guard guard(registry_lock_);
    changed_ = true;
    std::erase(readers_, reader);
  }
  std::lock_guard guard(reader->link.lock);
  reader->link.hid.close();
}

void DeviceManager::card_main(const ReaderPtr& reader) {
  try {
    watch_field(*reader);
  } catch (...) {
    // Whatever went wrong, the reader is retired below: a reader whose card
    // thread ended must not stay in the registry.
  }
  const uint32_t serial = reader->card_serial;
  if (reader->card_present.exchange(false)) guarded_void([serial] { forget_card(serial); });
  withdraw(reader);
  write_log("%s\tExit\r\n", "cardMain");
}

void DeviceManager::watch_field(ReaderDevice& reader) {
  const auto& sectors = reader.config.sectors;
  write_log("%s\t%d\t%d\t%d\r\n", "cardMain", sectors[0], sectors[1], sectors[2]);
  ReaderLink& link = reader.link;
  while (running_) {
    ReaderResult r;
    uint32_t serial = 0;
    {
      std::unique_lock guard(link.lock);
      if (reader.card_present && reader.iso_session) {
        guard.unlock();
        (void)pause(kIsoSessionCheckMs);
        continue;
      }
      r = card_request(link, serial);
    }
    if (r == ReaderResult::ok) {
      reader.card_serial = serial;
      if (!reader.card_present) {
        write_log("%s\tRequest card : %X\r\n", "cardMain", serial);
        reader.card_present = true;
        dev_listen_.set();
      }
      (void)pause(kPollWithCardMs);
    } else if (link_failure(r)) {
      return;  // the reader stopped answering: it is gone
    } else if (r == ReaderResult::no_card) {
      if (reader.card_present) {
        reader.card_present = false;
        const uint32_t left = reader.card_serial;
        write_log("%s\tcard leave  : %X\r\n", "cardMain", left);
        forget_card(left);
      }
      (void)pause(kPollWithoutCardMs);
    } else {
      // An answer that says nothing about the field (a reply too short to
      // hold a serial): the field is as it was, and the next poll asks again.
      (void)pause(reader.card_present ? kPollWithCardMs : kPollWithoutCardMs);
    }
  }
}

ReaderPtr DeviceManager::newest(uint16_t device_id) {
  std::lock_guard guard(registry_lock_);
  if (readers_.empty()) return nullptr;
  const ReaderPtr& reader = readers_.back();
  if (device_id != 0 && device_id != reader->link.device_id) return nullptr;
  return reader;
}

ReaderPtr DeviceManager::newest_with_card(uint32_t serial) {
  std::lock_guard guard(registry_lock_);
  if (readers_.empty()) return nullptr;
  const ReaderPtr& reader = readers_.back();
  if (!reader->card_present) return nullptr;
  if (serial != 0 && serial != reader->card_serial) return nullptr;
  return reader;
}

ReaderLease DeviceManager::acquire_reader(uint16_t device_id) {
  ReaderPtr reader = newest(device_id);  // the registry lock is let go here
  if (!reader) return {};
  return ReaderLease(std::move(reader));
}

bool DeviceManager::take_changed() {
  std::lock_guard guard(registry_lock_);
  return std::exchange(changed_, false);
}

uint32_t DeviceManager::list(uint16_t* ids, uint32_t capacity) {
  std::lock_guard guard(registry_lock_);
  uint32_t count = 0;
  for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
    if (ids != nullptr) {
      if (count == capacity) break;
      ids[count] = (*it)->link.device_id;
    }
    ++count;
  }
  return count;
}

ReaderResult DeviceManager::set_device_id(uint32_t position, uint16_t new_id) {
  std::lock_guard registry(registry_lock_);
  if (position >= readers_.size()) return ReaderResult::no_reader_at_position;
  ReaderDevice& reader = *readers_[readers_.size() - 1 - position];

  // A plain packet: not encrypted, no link token. The reader lock is taken
  // inside, after the registry lock (the one place that holds both).
  ReaderPacket packet;
  packet.type = kPacketTypeSetAddress;
  packet.payload_length = 2;
  store_u16_be(packet.payload.data(), new_id);
  if (const ReaderResult r = reader_exchange_plain(reader.link, packet, kSetAddressTimeoutMs); !succeeded(r))
    return r;
  changed_ = true;
  return ReaderResult::ok;
}

ReaderResult DeviceManager::wait_for_card(uint16_t& device_id, uint32_t& serial, uint32_t timeout_ms) {
  {
    std::lock_guard guard(registry_lock_);
    if (!readers_.empty() && readers_.back()->card_present) {
      const ReaderDevice& reader = *readers_.back();
      serial = reader.card_serial;
      device_id = reader.link.device_id;
      write_log("%s\t%u\t%d\r\n", "requestCard", serial, static_cast<int32_t>(timeout_ms));
      return ReaderResult::ok;
    }
  }
  if (!dev_listen_.wait(timeout_ms)) return ReaderResult::wrong_card;
  std::lock_guard guard(registry_lock_);
  if (readers_.empty()) return ReaderResult::no_reader;
  if (!readers_.back()->card_present) return ReaderResult::wrong_card;
  const ReaderDevice& reader = *readers_.back();
  serial = reader.card_serial;
  device_id = reader.link.device_id;
  return ReaderResult::ok;
}

}  // namespace kk::cardkit
