// The card cache: one Fmt10CardRecord per fmt10 card read or issued, kept
// until the card leaves the reader's field.
//
// Records are shared: find() hands out a reference, and a record that the
// card thread removes while an operation is still using it stays valid until
// that operation lets go of it. The cache lock guards only the list; record
// contents belong to the operations that use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "cardkit/layouts/fmt10/card_record.h"
#include "platform/sync.h"

namespace kk::cardkit {

using Fmt10RecordPtr = std::shared_ptr<Fmt10CardRecord>;

class Fmt10CardCache {
 public:
  // The newest record filed under `serial`; serial 0 matches the newest
  // record of all. Null when none matches.
  [[nodiscard]] Fmt10RecordPtr find(uint32_t serial) const;
  // Files `record` as the newest.
  void add(Fmt10RecordPtr record);
  // Takes `record` out of the cache. A record not in the cache is ignored.
  void remove(const Fmt10RecordPtr& record);
  [[nodiscard]] size_t size() const;
  void clear();

 private:
  mutable platform::RecursiveLock lock_;
  std::list<Fmt10RecordPtr> records_;  // oldest first, newest last
};

// The process-wide cache.
[[nodiscard]] Fmt10CardCache& card_cache();

inline Fmt10RecordPtr fmt10_cache_find(uint32_t serial) { return card_cache().find(serial); }
inline void fmt10_cache_add(Fmt10RecordPtr record) { card_cache().add(std::move(record)); }
inline void fmt10_cache_remove(const Fmt10RecordPtr& record) { card_cache().remove(record); }

}  // namespace kk::cardkit
