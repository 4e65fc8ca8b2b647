// Transactions of the lfzx design (lfzx, gsts, gstshot): issue, read,
// overwrite and reclaim, each under one reader lease, for the layout the
// caller names. The keys of gsts and gstshot come from the card in the
// reader's field, which each transaction asks for its serial; the serial
// argument only names the card expected (0: whatever card is there).
//
// A write sets the balance (it does not add): block 0 first, then its copy
// in block 2; block 0 is the commit point (mirrored_balance.h). The load
// before it brings a stale backup up to date, and a damaged block 0 is
// replaced by its backup, so the write always starts from the last balance
// that reached the card.
#pragma once

#include <cstdint>

#include "cardkit/channel/result.h"
#include "cardkit/layouts/lfzx/lfzx_codec.h"

namespace kk::cardkit::lfzx {

[[nodiscard]] ReaderResult issue(const Layout& layout, uint32_t serial);
[[nodiscard]] ReaderResult read(const Layout& layout, uint32_t serial, uint32_t& balance);
// Stores the low 16 bits of `balance`.
[[nodiscard]] ReaderResult write(const Layout& layout, uint32_t serial, uint32_t balance);
[[nodiscard]] ReaderResult reclaim(const Layout& layout, uint32_t serial);

}  // namespace kk::cardkit::lfzx
