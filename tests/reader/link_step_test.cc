// The link keeps request and reply in step: late, lost and foreign replies,
// replies too short for their data, records a packet cannot carry, and the
// emulator's link-level fault hooks that these tests (and the card layouts'
// torn-transaction tests) stand on. All over the emulated reader's real
// socket; the time-outs are the kit's own (4 s), so these tests take time.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "cardkit.h"
#include "cardkit/commands/commands.h"
#include "cardkit/devices/device_manager.h"
#include "fixture.h"

namespace kk::cardkit {
namespace {

using kk::testing::DirectLink;
using kk::testing::eventually;
using kk::testing::kSerial;
using kk::testing::kTransportKey;
using kk::testing::kUid;
using kk::testing::ReaderFolder;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Later than the kit's 4 s time-out, as a reader busy with a long signal.
constexpr milliseconds kLate{4500};

// Block contents that no other answer can be mistaken for: neither starts
// with the card's serial, and they differ from each other.
constexpr emu::Block kBlock4 = {0x44, 0x44, 0x44, 0x44, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 0x04};
constexpr emu::Block kBlock5 = {0x55, 0x55, 0x55, 0x55, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 0x05};
constexpr emu::Block kNewData = {0xDA, 0x7A};

// Plugs the reader with its card, blocks 4 and 5 set as above.
std::unique_ptr<emu::EmulatedReader> plug_reader(const ReaderFolder& folder,
                                                 std::shared_ptr<emu::Card>& card) {
  auto reader = folder.plug("reader0", 0x0042);
  card = reader->present_new_card(emu::CardType::classic_1k, kUid);
  card->set_raw_block(4, kBlock4);
  card->set_raw_block(5, kBlock5);
  return reader;
}

// ---------------------------------------------------------------------------
// One link, straight on the emulated reader.

class LinkStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = plug_reader(folder_, card_);
    ASSERT_TRUE(link_.open());
    ASSERT_EQ(reader_start_link(link()), ReaderResult::ok);
    uint32_t serial = 0;
    ASSERT_EQ(card_request(link(), serial), ReaderResult::ok);
    ASSERT_EQ(m1_auth(link(), 4, kKeyA, kTransportKey), ReaderResult::ok);
    reader_->clear_commands();
  }

  ReaderLink& link() { return link_.link; }

  ReaderFolder folder_;
  std::unique_ptr<emu::EmulatedReader> reader_;
  std::shared_ptr<emu::Card> card_;
  DirectLink link_;
};

// One exchange fails in each way a reader can fail it; the next command must
// get its own answer, after the kit greeted the reader afresh.
struct ExchangeFault {
  const char* name;
  void (*arm)(emu::EmulatedReader&);
  emu::LinkFault fault;
  bool reaches_card;  // the reader carried the write out
};

const ExchangeFault kExchangeFaults[] = {
    {"request_lost", [](emu::EmulatedReader& r) { r.drop_reply(1, emu::kBlockWrite); },
     emu::LinkFault::dropped, false},
    {"reply_lost", [](emu::EmulatedReader& r) { r.lose_reply(1, emu::kBlockWrite); }, emu::LinkFault::lost,
     true},
    {"reply_late", [](emu::EmulatedReader& r) { r.delay_reply(kLate, 1, emu::kBlockWrite); },
     emu::LinkFault::delayed, true},
};

void PrintTo(const ExchangeFault& fault, std::ostream* out) { *out << fault.name; }

class LinkFaultTest : public LinkStepTest, public ::testing::WithParamInterface<ExchangeFault> {};

TEST_P(LinkFaultTest, NextCommandGetsItsOwnAnswerAfterAFreshHello) {
  const ExchangeFault& c = GetParam();
  const auto token_before = link().token;
  c.arm(*reader_);

  const auto failed_at = Clock::now();
  EXPECT_EQ(m1_write_block(link(), 4, kNewData), ReaderResult::link_failed);
  EXPECT_EQ(link().token, token_before) << "a failure changes neither the token";
  EXPECT_EQ(link().device_id.load(), 0x0042) << "nor the device id";
  EXPECT_FALSE(link().in_step);
  EXPECT_EQ(card_->raw_block(4), c.reaches_card ? kNewData : kBlock4);

  std::array<uint8_t, 16> out{};
  ASSERT_EQ(m1_read_block(link(), 5, out), ReaderResult::ok);
  EXPECT_EQ(out, kBlock5) << "the answer to the read, not the late answer to the write";
  EXPECT_TRUE(link().in_step);
  if (c.fault == emu::LinkFault::delayed) {
    // The late reply was waited out, and not much longer.
    const auto spent = Clock::now() - failed_at;
    EXPECT_GE(spent, kLate);
    EXPECT_LT(spent, kLate + milliseconds(kResyncQuietMs) + std::chrono::seconds(3));
  }

  // What the reader saw: the faulted write, a hello with token 0, the read
  // with the token of the hello's reply.
  const auto sent = reader_->commands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].fault, c.fault);
  EXPECT_EQ(sent[1].code(), 0x00);
  EXPECT_EQ(sent[1].token(), 0u);
  EXPECT_EQ(sent[2].code(), 0x14);
  EXPECT_EQ(sent[2].param1(), 5);
  EXPECT_TRUE(sent[2].token_ok);
  EXPECT_EQ(reader_->token_errors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Each, LinkFaultTest, ::testing::ValuesIn(kExchangeFaults),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(LinkStepTest, RepliesThatSayNotDoneOrComeSlowButInTimeKeepTheLinkInStep) {
  // A write carried out but reported as not done: the kit believes it
  // failed, and the sector helper writes it once more.
  reader_->report_not_done(1, emu::kBlockWrite);
  EXPECT_EQ(m1_write_block(link(), 4, kNewData), ReaderResult::write_failed);
  EXPECT_EQ(card_->raw_block(4), kNewData) << "the write reached the card all the same";
  EXPECT_EQ(reader_->commands().back().fault, emu::LinkFault::not_done);
  EXPECT_EQ(reader_->commands().back().status, 0);

  reader_->report_not_done(1, emu::kBlockWrite);
  std::array<uint8_t, 48> sector{};
  sector[0] = 0x11;
  EXPECT_EQ(m1_write_sector(link(), 1, 0x01, kTransportKey, sector), ReaderResult::ok);
  EXPECT_EQ(reader_->count(0x14, 3), 3u) << "the refused write was written again";

  // A reply slower than usual but within the time-out is simply waited for.
  reader_->delay_reply(milliseconds(300), 1, emu::kBlockRead);
  std::array<uint8_t, 16> out{};
  const auto start = Clock::now();
  EXPECT_EQ(m1_read_block(link(), 5, out), ReaderResult::ok);
  EXPECT_GE(Clock::now() - start, milliseconds(300));
  EXPECT_EQ(out, kBlock5);
  EXPECT_TRUE(link().in_step);
  EXPECT_EQ(reader_->count(0x00), 0u) << "no hello: nothing went out of step";
}

TEST_F(LinkStepTest, RecordsAPacketCannotCarryAreRefusedBeforeAnythingIsSent) {
  for (const int32_t length : {INT32_MIN, -1, 0, 8, 290, 291, 512, INT32_MAX}) {
    SCOPED_TRACE(length);
    CommandRecord record;
    record.command[0] = 0x7E;
    record.length = length;
    EXPECT_EQ(reader_transact(link(), record), ReaderResult::bad_request);
    EXPECT_EQ(record.reply_length, 0);
  }
  EXPECT_TRUE(reader_->commands().empty());
  EXPECT_TRUE(link().in_step) << "a refused record leaves the link alone";

  // The bounds themselves travel, in both address forms: the longest record
  // fills 289 of the 290 payload bytes a packet has with a two-byte address.
  for (const uint16_t address : {uint16_t{0x0042}, uint16_t{0x0142}}) {
    SCOPED_TRACE(address);
    ReaderPacket readdress;
    readdress.type = kPacketTypeSetAddress;
    readdress.payload_length = 2;
    readdress.payload = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    ASSERT_EQ(reader_exchange_plain(link(), readdress, kSetAddressTimeoutMs), ReaderResult::ok);
    EXPECT_EQ(link().device_id.load(), address);
    for (const int32_t length : {kMinCommandLength, kMaxCommandLength}) {
      CommandRecord record;
      record.command[0] = 0x7E;  // unknown to the reader: answered "not done"
      record.length = length;
      EXPECT_EQ(reader_transact(link(), record), ReaderResult::ok) << length;
      EXPECT_EQ(reader_->commands().back().frame.size(), static_cast<size_t>(frame_length(length)));
    }
  }
}

// ---------------------------------------------------------------------------
// Replies too short for what their command takes from them.

// A reply frame saying "done" with `data` after the header, encrypted as the
// reader encrypts (whole blocks after byte 0; a tail stays as it is).
std::vector<uint8_t> done_frame(uint8_t code, size_t data_length) {
  std::vector<uint8_t> frame = {code, 0x0A, 0x0B, 0x0C, 0x0D, 0, static_cast<uint8_t>(data_length), 1, 1};
  for (size_t i = 0; i < data_length; ++i) frame.push_back(static_cast<uint8_t>(0x90 + i));
  DesKeyContext key(kLinkKey);
  des_ecb_encrypt(key, std::span(frame).subspan(1, (frame.size() - 1) / 8 * 8));
  return frame;
}

TEST_F(LinkStepTest, RepliesTooShortForTheirDataFailAndPutTheLinkOutOfStep) {
  std::atomic<size_t> data_length{0};
  reader_->transport().set_handler([&](const emu::ReaderRequest&) {
    return emu::ReaderReply::packet(0x0042, 0x0900, done_frame(0, data_length));
  });

  struct Case {
    const char* command;
    size_t needs;  // data bytes the command takes
    std::function<ReaderResult()> run;
  };
  uint32_t serial = 0;
  std::array<uint8_t, 16> out{};
  const Case cases[] = {
      {"card request", 4, [&] { return card_request(link(), serial); }},
      {"block read", 16, [&] { return m1_read_block(link(), 4, out); }},
      {"configuration slot read", 16, [&] { return reader_config_read(link(), 1, out); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    serial = 0xCAFEF00D;
    out.fill(0xEE);
    data_length = c.needs - 1;
    EXPECT_EQ(c.run(), ReaderResult::short_reply);
    EXPECT_EQ(to_code(ReaderResult::short_reply), 1u);
    EXPECT_EQ(serial, 0xCAFEF00Du) << "nothing taken from a short reply";
    EXPECT_EQ(out, (std::array<uint8_t, 16>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                            0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_FALSE(link().in_step);

    // The next command greets the reader first; a reply long enough is taken.
    const size_t before = reader_->transport().requests().size();
    data_length = c.needs;
    EXPECT_EQ(c.run(), ReaderResult::ok);
    if (c.needs == 4) {
      EXPECT_EQ(serial, 0x90919293u);
    }
    EXPECT_TRUE(link().in_step);
    const auto requests = reader_->transport().requests();
    ASSERT_EQ(requests.size(), before + 2);
    EXPECT_EQ(requests[before].payload[0], 0x00) << "hello";
  }
  EXPECT_EQ(out[0], 0x90);
  EXPECT_EQ(out[15], 0x9F);
}

// ---------------------------------------------------------------------------
// The same through the device manager and the exports: the card thread polls
// the same link.

class ManagedLinkStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = plug_reader(folder_, card_);
    reader_->transport().set_connection_observer([this](bool connected) {
      if (connected) ++connections_;
    });
    DeviceManager::instance().start();
    uint16_t id = 0;
    uint32_t serial = 0;
    ASSERT_EQ(requestCard(&id, &serial, 10000), 0u);
    ASSERT_EQ(serial, kSerial);
    (void)devlistupdate();
  }
  void TearDown() override { DeviceManager::instance().stop(); }

  // Authenticates and reads `block`; the card thread's polls select the card
  // anew between two exports, so the host authenticates every time.
  uint32_t read(uint32_t block, std::array<uint8_t, 16>& out) {
    const uint32_t auth = M1_AuthAt(0, block, 1, kTransportKey.data());
    if (auth != 0) return auth;
    return M1_ReadBlkAt(0, block, out.data());
  }

  size_t count_lines(const std::string& prefix) const {
    const auto lines = folder_.log_lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

  ReaderFolder folder_;
  std::unique_ptr<emu::EmulatedReader> reader_;
  std::shared_ptr<emu::Card> card_;
  std::atomic<int> connections_{0};
};

TEST_F(ManagedLinkStepTest, ABlockReadAnsweredLateNeverLendsItsDataToAnotherExport) {
  reader_->delay_reply(kLate, 1, emu::kBlockRead);
  std::array<uint8_t, 16> out{};
  ASSERT_EQ(M1_AuthAt(0, 4, 1, kTransportKey.data()), 0u);
  const auto asked = Clock::now();
  EXPECT_EQ(M1_ReadBlkAt(0, 4, out.data()), 1u) << "the kit gives up after 4 s";
  const auto late_reply = asked + kLate;

  // Straight on, and for a while after the late reply has come: every
  // export that succeeds answers its own request.
  int wrong = 0, reads = 0, cards = 0;
  Clock::duration first_read{}, first_card{};
  while (Clock::now() < late_reply + std::chrono::seconds(4)) {
    if (read(5, out) == 0) {
      if (out != kBlock5) ++wrong;
      if (reads++ == 0) first_read = Clock::now() - late_reply;
    }
    uint16_t id = 0;
    uint32_t serial = 0;
    if (requestCard(&id, &serial, 0) == 0) {
      if (serial != kSerial || id != 0x0042) ++wrong;
      if (cards++ == 0) first_card = Clock::now() - late_reply;
    }
  }
  EXPECT_EQ(wrong, 0);
  ASSERT_GT(reads, 0);
  ASSERT_GT(cards, 0);
  // Back within a second or two of the late reply (the line must first stay
  // silent for a second); the margin is for a loaded machine.
  EXPECT_LT(first_read, std::chrono::seconds(3));
  EXPECT_LT(first_card, std::chrono::seconds(3));
  RecordProperty("first_read_after_late_reply_ms",
                 static_cast<int>(std::chrono::duration_cast<milliseconds>(first_read).count()));

  // The card thread never read a serial out of block data, the reader was
  // never taken for unplugged, and no frame went out on a stale token.
  EXPECT_EQ(count_lines("cardMain\tRequest card : "), 1u);
  EXPECT_EQ(count_lines("cardMain\tRequest card : 12345678"), 1u);
  EXPECT_EQ(count_lines("cardMain\tcard leave"), 0u);
  EXPECT_EQ(connections_.load(), 1);
  EXPECT_EQ(devlistupdate(), 0u);
  EXPECT_EQ(reader_->token_errors(), 0u);
}

TEST_F(ManagedLinkStepTest, TheCardThreadBringsTheLinkBackInStepWithoutRetiringTheReader) {
  // The host gives up on a late read and then leaves the reader alone: the
  // card thread is the next to use the link.
  reader_->delay_reply(kLate, 1, emu::kBlockRead);
  std::array<uint8_t, 16> out{};
  ASSERT_EQ(M1_AuthAt(0, 4, 1, kTransportKey.data()), 0u);
  EXPECT_EQ(M1_ReadBlkAt(0, 4, out.data()), 1u);
  const size_t logged = reader_->commands().size();

  // The card thread's next poll follows a fresh hello, and its polls go on.
  ASSERT_TRUE(eventually([&] {
    const auto sent = reader_->commands();
    return std::count_if(sent.begin() + static_cast<long>(logged), sent.end(),
                         [](const emu::DecodedCommand& c) { return c.code() == 0x01 && c.status != 0; }) >= 3;
  }));
  const auto sent = reader_->commands();
  ASSERT_GT(sent.size(), logged);
  EXPECT_EQ(sent[logged].code(), 0x00) << "hello first";
  EXPECT_EQ(reader_->token_errors(), 0u);
  EXPECT_EQ(connections_.load(), 1) << "not retired and attached again";
  EXPECT_EQ(devlistupdate(), 0u);
  EXPECT_EQ(count_lines("cardMain\tcard leave"), 0u);
  EXPECT_EQ(count_lines("cardMain\tExit"), 0u);

  // The host's next read is right at once.
  EXPECT_EQ(read(5, out), 0u);
  EXPECT_EQ(out, kBlock5);
}

TEST_F(ManagedLinkStepTest, ALateAnswerToTheCardThreadsOwnPollRetiresTheReaderWhichIsAttachedAfresh) {
  // A poll that fails at the transport is taken as an unplugged reader; the
  // reader comes back through discovery, its late answer dropped on the way.
  reader_->delay_reply(kLate, 1, emu::kCardRequest);
  ASSERT_TRUE(eventually([&] { return connections_.load() == 2; }, std::chrono::seconds(20)));
  ASSERT_TRUE(eventually([] { return readdevlist(nullptr, 0) == 1; }));
  EXPECT_EQ(count_lines("cardMain\tExit"), 1u);
  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_EQ(requestCard(&id, &serial, 10000), 0u);
  EXPECT_EQ(serial, kSerial);
  std::array<uint8_t, 16> out{};
  ASSERT_TRUE(eventually([&] { return read(5, out) == 0; }));
  EXPECT_EQ(out, kBlock5);
  EXPECT_EQ(reader_->token_errors(), 0u);
}

TEST_F(ManagedLinkStepTest, AFailedReaddressingKeepsTheIdAndTheReader) {
  reader_->drop_reply(1, emu::kSetAddress);
  EXPECT_EQ(writedevid(0, 0x0077), 1u);
  EXPECT_EQ(devlistupdate(), 0u) << "nothing changed";
  std::array<uint16_t, 2> ids{};
  ASSERT_EQ(readdevlist(ids.data(), 2), 1u);
  EXPECT_EQ(ids[0], 0x0042);

  // Not taken for an unplugged reader: the link is brought back in step and
  // the next readdressing goes through.
  EXPECT_EQ(writedevid(0, 0x0077), 0u);
  EXPECT_EQ(devlistupdate(), 1u);
  ASSERT_EQ(readdevlist(ids.data(), 2), 1u);
  EXPECT_EQ(ids[0], 0x0077);
  std::array<uint8_t, 16> out{};
  ASSERT_TRUE(eventually([&] { return read(5, out) == 0; }));
  EXPECT_EQ(out, kBlock5);
  EXPECT_EQ(connections_.load(), 1);
  EXPECT_EQ(reader_->token_errors(), 0u);
}

}  // namespace
}  // namespace kk::cardkit
