#include "cardkit/layouts/fmt10/card_cache.h"

#include <mutex>

namespace kk::cardkit {

Fmt10RecordPtr Fmt10CardCache::find(uint32_t serial) const {
  std::lock_guard guard(lock_);
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (serial == 0 || (*it)->serial == serial) return *it;
  }
  return nullptr;
}

void Fmt10CardCache::add(Fmt10RecordPtr record) {
  if (!record) return;
  std::lock_guard guard(lock_);
  records_.push_back(std::move(record));
}

void Fmt10CardCache::remove(const Fmt10RecordPtr& record) {
  std::lock_guard guard(lock_);
  records_.remove(record);
}

size_t Fmt10CardCache::size() const {
  std::lock_guard guard(lock_);
  return records_.size();
}

void Fmt10CardCache::clear() {
  std::lock_guard guard(lock_);
  records_.clear();
}

Fmt10CardCache& card_cache() {
  static Fmt10CardCache cache;
  return cache;
}

}  // namespace kk::cardkit
