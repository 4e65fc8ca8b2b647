// The torn-write matrix: every export that writes a balance, with each
// fault injected at each of its block writes; then a transaction torn at its
// balance block (which makes the load fall back on the backup the first one
// left), the first fault once more, and a clean transaction. After each, a read must show the
// balance from before or after the transaction the fault struck (never an
// older one, never a mix of the two), the card's blocks must be in step
// again, and a transaction that reported success must show its new balance.
//
// Faults come from the emulator: the card model refuses or tears the k-th
// block write; the reader loses the k-th block-write request, or carries it
// out and then loses its reply, answers it "not done", or answers it after
// the kit has given up on it.
#include <gtest/gtest.h>

#include <optional>

#include "cardkit/layouts/lf/lf_codec.h"
#include "cardkit/layouts/lfzx/lfzx_codec.h"
#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"
#include "cardkit/layouts/water/water_codec.h"
#include "layout_fixture.h"

namespace kk::testing {
namespace {

namespace lf = cardkit::lf;
namespace lfzx = cardkit::lfzx;
namespace lfzxdc = cardkit::lfzxdc;
namespace water = cardkit::water;

constexpr uint32_t kLfSector = 8;
constexpr std::array<uint8_t, 8> kLfBaseKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr int32_t kWaterSector = 9;
constexpr std::array<uint8_t, 6> kWaterKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr uint16_t kDeviceCounter = 1;  // the device has taken purchase 1

// The block `i` of a sector image read raw from the card.
Raw block_of(const emu::Card& card, unsigned first, unsigned i) { return card.raw_block(first + i); }

// One export that writes a balance, with what its card shows.
struct Subject {
  const char* name;
  // Makes the card in the field an issued card with a balance.
  void (*prepare)(emu::Card& card);
  // The transaction; `step` is the amount or the value it writes.
  uint32_t (*transact)(uint32_t step);
  // What the card shows through the layout's read export, or nothing when
  // the read fails.
  std::optional<uint64_t> (*read)();
  // What the card shows after the transaction, from what it showed before.
  uint64_t (*after)(uint64_t before, uint32_t step);
  // The card's blocks are in step (checked after a read).
  bool (*in_step)(const emu::Card& card);
  std::array<uint32_t, 3> steps;
};

std::optional<uint64_t> lf_balance() {
  uint32_t b = 0;
  if (lf_readcard(kSerial, &b) != 0) return std::nullopt;
  return b;
}

bool lf_in_step(const emu::Card& card) {
  const Raw purse = block_of(card, kLfSector * 4, 0);
  return lf::purse_valid(purse) &&
         lf::backup_balance(block_of(card, kLfSector * 4, 1)) == lf::purse_balance(purse);
}

void prepare_lf(emu::Card&) {
  ASSERT_EQ(lf_setkey_water(0, kLfSector, kLfBaseKey.data()), 0u);
  ASSERT_EQ(lf_initcard(kSerial), 0u);
  uint32_t b = 0;
  ASSERT_EQ(lf_charge(kSerial, 1000, &b), 0u);
}

template <uint32_t (*Read)(uint32_t, uint32_t*)>
std::optional<uint64_t> lfzx_balance() {
  uint32_t b = 0;
  if (Read(kSerial, &b) != 0) return std::nullopt;
  return b;
}

// The balance block and its copy agree, or the balance block is invalid
// and the copy valid (a read takes the copy without rewriting the card; the
// next write puts both right).
bool mirrored_in_step(const Raw& balance, const Raw& backup, bool (*valid)(const Raw&)) {
  return valid(balance) ? balance == backup : valid(backup);
}

template <const lfzx::Layout& L>
bool lfzx_in_step(const emu::Card& card) {
  return mirrored_in_step(
      block_of(card, L.sector * 4u, 0), block_of(card, L.sector * 4u, 2),
      [](const Raw& b) { return lfzx::balance_valid(L, static_cast<uint8_t>(kSerial), b); });
}

template <uint32_t (*Issue)(uint32_t), uint32_t (*Write)(uint32_t, uint32_t)>
void prepare_lfzx(emu::Card&) {
  ASSERT_EQ(Issue(kSerial), 0u);
  ASSERT_EQ(Write(kSerial, 100), 0u);
}

template <uint32_t (*Write)(uint32_t, uint32_t)>
uint32_t lfzx_write(uint32_t value) {
  return Write(kSerial, value);
}

uint64_t absolute(uint64_t, uint32_t value) { return value; }

std::optional<uint64_t> water_balance() {
  uint32_t b = 0;
  if (water_readcard(kSerial, 0, &b) != 0) return std::nullopt;
  return b;
}

bool water_in_step(const emu::Card& card) {
  return mirrored_in_step(block_of(card, kWaterSector * 4, 0), block_of(card, kWaterSector * 4, 2),
                          [](const Raw& b) { return water::checksum_ok(b); });
}

void prepare_water(emu::Card&) {
  ASSERT_EQ(water_yks_setkey(0, kWaterSector, kWaterKey.data()), 0u);
  ASSERT_EQ(water_initcard(kSerial, "torn"), 0u);
  ASSERT_EQ(water_writecard(kSerial, 0, 100), 0u);
}

// lfzxdc: the purchase (sequence, amount) of block 12 as a read leaves it,
// which must agree with what lfzxdc_readmoney reports.
std::array<uint8_t, 48> terminal_of(const emu::Card& card) {
  std::array<uint8_t, 48> t{};
  for (unsigned i = 0; i < 3; ++i) {
    const Raw b = card.raw_block(12 + i);
    std::copy(b.begin(), b.end(), t.begin() + 16 * i);
  }
  return t;
}

const emu::Card* lfzxdc_card = nullptr;  // the card of the running case

std::optional<uint64_t> lfzxdc_purchase() {
  uint32_t prefix = 0, number = 0, next = 0, pending = 0;
  if (lfzxdc_readcard(kSerial, &prefix, &number) != 0 || lfzxdc_readmoney(0, &next, &pending) != 0)
    return std::nullopt;
  const auto t = terminal_of(*lfzxdc_card);
  const uint64_t purchase = load_u32_be(&t[8]);
  const bool taken = (purchase >> 16) == kDeviceCounter;
  EXPECT_EQ(pending, taken ? 0 : purchase & 0xFFFF) << "readmoney answers from the card's purchase";
  EXPECT_EQ(next, kDeviceCounter + 1u);
  return purchase;
}

bool lfzxdc_in_step(const emu::Card& card) {
  auto t = terminal_of(card);
  return !lfzxdc::complete_record(t);
}

void prepare_lfzxdc(emu::Card& card) {
  lfzxdc_card = &card;
  ASSERT_EQ(lfzxdc_initcard(kSerial), 0u);
  ASSERT_EQ(lfzxdc_writeprice(kSerial, 0x0102, 1200), 0u);
  ASSERT_EQ(lfzxdc_charge(kSerial, 1, 50), 0u);
  Raw device = card.raw_block(16);
  device[10] = kDeviceCounter;
  card.set_raw_block(16, device);
}

// Purchase n of amount 10 n: sequence in the high half, amount in the low.
uint32_t lfzxdc_purchase_step(uint32_t n) { return lfzxdc_charge(kSerial, n, static_cast<uint16_t>(10 * n)); }
uint64_t lfzxdc_after(uint64_t, uint32_t n) { return (uint64_t{n} << 16) | (10 * n); }

const Subject kSubjects[] = {
    {"lf_charge",
     prepare_lf,
     [](uint32_t a) {
       uint32_t b;
       return lf_charge(kSerial, a, &b);
     },
     lf_balance,
     [](uint64_t b, uint32_t a) { return b + a; },
     lf_in_step,
     {50, 30, 7}},
    {"lf_reduce",
     prepare_lf,
     [](uint32_t a) {
       uint32_t b;
       return lf_reduce(kSerial, a, &b);
     },
     lf_balance,
     [](uint64_t b, uint32_t a) { return b - a; },
     lf_in_step,
     {50, 30, 7}},
    {"lfzx_writecard",
     prepare_lfzx<lfzx_initcard, lfzx_writecard>,
     lfzx_write<lfzx_writecard>,
     lfzx_balance<lfzx_readcard>,
     absolute,
     lfzx_in_step<lfzx::kLfzx>,
     {111, 222, 333}},
    {"gsts_writecard",
     prepare_lfzx<gsts_initcard, gsts_writecard>,
     lfzx_write<gsts_writecard>,
     lfzx_balance<gsts_readcard>,
     absolute,
     lfzx_in_step<lfzx::kGsts>,
     {111, 222, 333}},
    {"gstshot_writecard",
     prepare_lfzx<gstshot_initcard, gstshot_writecard>,
     lfzx_write<gstshot_writecard>,
     lfzx_balance<gstshot_readcard>,
     absolute,
     lfzx_in_step<lfzx::kGstshot>,
     {111, 222, 333}},
    {"water_writecard",
     prepare_water,
     [](uint32_t v) { return water_writecard(kSerial, 0, static_cast<int32_t>(v)); },
     water_balance,
     absolute,
     water_in_step,
     {111, 222, 333}},
    {"lfzxdc_charge",
     prepare_lfzxdc,
     lfzxdc_purchase_step,
     lfzxdc_purchase,
     lfzxdc_after,
     lfzxdc_in_step,
     {2, 3, 4}},
};

class TornWriteTest;

// One fault, armed for the k-th block write of the next transaction.
struct Fault {
  const char* name;
  void (*arm)(TornWriteTest& test, unsigned k);
  // Costs the kit a time-out: armed for the first transaction only.
  bool slow = false;
};

class TornWriteTest : public LayoutTest, public ::testing::WithParamInterface<const Subject*> {
 public:
  emu::Card& card() { return *card_; }
  emu::EmulatedReader& reader() { return *reader_; }

 protected:
  void disarm() {
    reader_->drop_reply(0);
    reader_->lose_reply(0);
    reader_->report_not_done(0);
    reader_->delay_reply(std::chrono::milliseconds(0), 0);
    card_->clear_faults();
  }

  // Runs `step` with `fault` at block write k. Nothing when the transaction
  // makes fewer than k writes from this card image (counted on a clean run
  // of it, which is then undone).
  std::optional<uint32_t> run_faulted(const Subject& s, const Fault& fault, unsigned k, uint32_t step) {
    const auto image = card_->image();
    const size_t writes_before = reader_->count(0x14, 3);
    (void)s.transact(step);
    const size_t writes = reader_->count(0x14, 3) - writes_before;
    card_->load_image(image);
    if (k > writes) return std::nullopt;
    fault.arm(*this, k);
    const uint32_t r = s.transact(step);
    disarm();
    return r;
  }

  std::optional<uint64_t> read_settled(const Subject& s) {
    std::optional<uint64_t> value;
    eventually([&] { return (value = s.read()).has_value(); });
    return value;
  }

  // One transaction under the fault; the read after it.
  void check(const Subject& s, const Fault& fault, unsigned k, uint32_t step, uint64_t& shown, bool& struck) {
    const auto r = run_faulted(s, fault, k, step);
    struck = r.has_value();
    if (!r) return;
    const auto now = read_settled(s);
    ASSERT_TRUE(now.has_value()) << "the card reads again";
    const uint64_t after = s.after(shown, step);
    if (*r == 0) {
      EXPECT_EQ(*now, after) << "success shows the new balance";
    } else {
      EXPECT_TRUE(*now == shown || *now == after)
          << "result " << *r << ": shows " << *now << ", before " << shown << ", after " << after;
    }
    EXPECT_TRUE(s.in_step(*card_)) << "the read brought the card's blocks in step";
    results_ += " " + std::to_string(*r) + (*now == after ? "/after" : "/before");
    shown = *now;
  }

  std::string results_;
};

// The card's faults count its block writes; the reader's link faults count
// the block-write commands it receives (the card thread's polls do not shift
// them). A time-out of the kit is 4 s; a late reply comes after 4.5 s.
const Fault kFaults[] = {
    {"request lost", [](TornWriteTest& t, unsigned k) { t.reader().drop_reply(k, emu::kBlockWrite); }, true},
    {"write refused once", [](TornWriteTest& t, unsigned k) { t.card().refuse_write(k); }},
    {"write refused twice",
     [](TornWriteTest& t, unsigned k) {
       t.card().refuse_write(k);
       t.card().refuse_write(k + 1);  // the helper's second attempt
     }},
    {"write torn half-way", [](TornWriteTest& t, unsigned k) { t.card().tear_write(k); }},
    {"written, reply lost", [](TornWriteTest& t, unsigned k) { t.reader().lose_reply(k, emu::kBlockWrite); }, true},
    {"written, said not done", [](TornWriteTest& t, unsigned k) { t.reader().report_not_done(k, emu::kBlockWrite); }},
    {"written, reply late",
     [](TornWriteTest& t, unsigned k) {
       t.reader().delay_reply(std::chrono::milliseconds(4500), k, emu::kBlockWrite);
     },
     true},
};

TEST_P(TornWriteTest, BeforeOrAfterNeverOlderNeverMixed) {
  const Subject& s = *GetParam();
  s.prepare(*card_);
  const auto image = card_->image();
  const Fault& tear = kFaults[3];
  static_assert(std::size(kFaults) > 3);
  for (const Fault& fault : kFaults) {
    for (unsigned k = 1;; ++k) {
      SCOPED_TRACE(std::string(s.name) + ", " + fault.name + " at block write " + std::to_string(k));
      card_->load_image(image);
      auto shown = read_settled(s);
      ASSERT_TRUE(shown.has_value());
      uint64_t value = *shown;
      results_.clear();
      bool struck = false;
      check(s, fault, k, s.steps[0], value, struck);
      if (!struck) break;
      // Then a transaction whose balance block is torn: its load falls back
      // on the backup the first transaction left, which must not be older
      // than what the card showed.
      bool again = false;
      check(s, tear, 1, s.steps[1], value, again);
      // The same fault once more (a fast one), then a clean transaction:
      // the card works as before.
      if (!fault.slow) check(s, fault, k, s.steps[1], value, again);
      const uint64_t expected = s.after(value, s.steps[2]);
      EXPECT_EQ(s.transact(s.steps[2]), 0u);
      EXPECT_EQ(read_settled(s), expected);
      std::printf("%-18s %-20s write %u:%s\n", s.name, fault.name, k, results_.c_str());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TornWriteTest, ::testing::ValuesIn([] {
                           std::vector<const Subject*> all;
                           for (const auto& s : kSubjects) all.push_back(&s);
                           return all;
                         }()),
                         [](const ::testing::TestParamInfo<const Subject*>& p) {
                           return std::string(p.param->name);
                         });

}  // namespace
}  // namespace kk::testing
