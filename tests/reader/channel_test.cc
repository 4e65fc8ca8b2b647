// The encrypted command channel against the emulated reader over its real
// socket: frame lengths, reply decryption, link token, readdressing and the
// configuration slots read at attach.
#include <gtest/gtest.h>

#include "cardkit/crypto/triple_des.h"
#include "fixture.h"

namespace kk::cardkit {
namespace {

using kk::testing::DirectLink;
using kk::testing::ReaderFolder;

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = folder_.plug("reader0", 0x0042);
    ASSERT_TRUE(link_.open());
    ASSERT_EQ(reader_start_link(link_.link), ReaderResult::ok);
  }

  ReaderFolder folder_;
  std::unique_ptr<emu::EmulatedReader> reader_;
  DirectLink link_;
};

TEST_F(ChannelTest, FrameLengthRoundsTheRecordUpToWholeBlocks) {
  struct Case {
    int32_t record_length;
    size_t frame_length;
  };
  for (const Case c : {Case{9, 9}, Case{10, 17}, Case{17, 17}, Case{18, 25}, Case{25, 25}}) {
    SCOPED_TRACE(c.record_length);
    EXPECT_EQ(static_cast<size_t>(frame_length(c.record_length)), c.frame_length);
    reader_->clear_commands();
    CommandRecord record;
    record.command[0] = 0x7E;  // a code the reader does not know: it answers "not done"
    record.length = c.record_length;
    ASSERT_EQ(reader_transact(link_.link, record), ReaderResult::ok);
    const auto sent = reader_->commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frame.size(), c.frame_length);
    EXPECT_TRUE(sent[0].token_ok);
  }
}

TEST_F(ChannelTest, HelloCarriesTokenZeroAndTheNextFrameTheTokenOfItsReply) {
  ReaderConfig config;
  ASSERT_TRUE(reader_load_config(link_.link, config));
  const auto sent = reader_->commands();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0].code(), 0x00);
  EXPECT_EQ(sent[0].token(), 0u);
  EXPECT_EQ(sent[1].code(), 0x22);
  EXPECT_NE(sent[1].token(), 0u);
  for (const auto& c : sent) EXPECT_TRUE(c.token_ok);
  EXPECT_EQ(reader_->token_errors(), 0u);
}

TEST_F(ChannelTest, ReplyAddressReaddressesTheNextPacket) {
  // The reader answered the hello with its own address.
  EXPECT_EQ(link_.link.device_id.load(), 0x0042);
  CommandRecord record;
  record.command[0] = 0x01;
  ASSERT_EQ(reader_transact(link_.link, record), ReaderResult::ok);
  EXPECT_EQ(reader_->commands().back().address, 0x0042);
}

TEST_F(ChannelTest, ReplyDecryptsWholeBlocksOnlyAndLeavesTheTailAsReceived) {
  // A 12-byte reply: bytes 1-8 are one block, bytes 9-11 a tail.
  reader_->transport().set_handler([](const emu::ReaderRequest&) {
    std::vector<uint8_t> frame = {0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0xA9, 0xAA, 0xAB};
    DesKeyContext key(kLinkKey);
    des_ecb_encrypt(key, std::span(frame).subspan(1, 8));
    return emu::ReaderReply::packet(0x0042, 0x0900, frame);
  });
  CommandRecord record;
  record.command[0] = 0x01;
  ASSERT_EQ(reader_transact(link_.link, record), ReaderResult::ok);
  ASSERT_EQ(record.reply_length, 12);
  EXPECT_EQ(record.reply_data_offset, 9);
  const std::array<uint8_t, 12> expected = {0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0xA9, 0xAA, 0xAB};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.reply.begin()));
  EXPECT_EQ(link_.link.token, (std::array<uint8_t, 4>{1, 2, 3, 4}));
}

TEST_F(ChannelTest, ReplyShorterThanAFrameHeaderIsAFailure) {
  reader_->transport().set_handler([](const emu::ReaderRequest&) {
    return emu::ReaderReply::packet(0x0099, 0x0900, {0x01, 1, 2, 3, 4, 5, 6, 7});
  });
  const auto token_before = link_.link.token;
  CommandRecord record;
  record.command[0] = 0x01;
  EXPECT_EQ(reader_transact(link_.link, record), ReaderResult::link_failed);
  EXPECT_EQ(link_.link.token, token_before);
  EXPECT_EQ(link_.link.device_id.load(), 0x0042) << "the address of a bad reply is not taken";
}

TEST_F(ChannelTest, ConfigurationSlotsAndTheirDefaults) {
  struct Case {
    const char* name;
    bool tag_slots;
  };
  for (const Case c : {Case{"untagged slots give the defaults", false}, Case{"tagged slots", true}}) {
    SCOPED_TRACE(c.name);
    const std::array<uint8_t, 8> tk = {1, 2, 3, 4, 5, 6, 7, 8};
    if (c.tag_slots) {
      reader_->set_slot(1, emu::df_slot(0x01020304, "LIBDF01"));
      reader_->set_slot(2, emu::sectors_slot(5, 6, 7));
      reader_->set_slot(3, emu::transport_key_slot(9, tk));
    } else {
      for (uint8_t s = 0; s < 4; ++s) reader_->set_slot(s, {});
    }
    ReaderConfig config;
    ASSERT_TRUE(reader_load_config(link_.link, config));
    EXPECT_TRUE(config.configured);

    std::array<uint8_t, 8> df_id{};
    if (c.tag_slots) {
      EXPECT_EQ(config.df_version, 0x01020304u);
      df_id = {'L', 'I', 'B', 'D', 'F', '0', '1', 0};
      EXPECT_EQ(config.sectors, (std::array<uint8_t, 3>{5, 6, 7}));
      EXPECT_EQ(config.transport_key, tk);
      EXPECT_EQ(config.transport_key_version, 9u);
    } else {
      EXPECT_EQ(config.df_version, 0u);
      EXPECT_EQ(config.sectors, (std::array<uint8_t, 3>{0, 1, 2}));
      EXPECT_EQ(config.transport_key,
                (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
      EXPECT_EQ(config.transport_key_version, 0u);
    }
    EXPECT_EQ(config.df_id, df_id);
    // The DF key depends on the DF identifier alone: the master key is zero.
    std::array<uint8_t, 16> expected{};
    des3_diversify(df_id, std::array<uint8_t, 16>{}, expected);
    EXPECT_EQ(config.df_key, expected);
    EXPECT_EQ(config.master_key, (std::array<uint8_t, 16>{}));
  }
}

TEST_F(ChannelTest, FailedSlotReadLeavesTheConfigurationUntouched) {
  reader_->drop_reply(3);  // the read of slot 2
  ReaderConfig config;
  EXPECT_FALSE(reader_load_config(link_.link, config));
  EXPECT_FALSE(config.configured);
  EXPECT_EQ(config.sectors, (std::array<uint8_t, 3>{0, 0, 0}));
  EXPECT_EQ(config.transport_key, (std::array<uint8_t, 8>{}));
}

TEST_F(ChannelTest, ConfigurationWriteReachesTheSlot) {
  const emu::Slot content = emu::sectors_slot(8, 9, 10);
  ASSERT_EQ(reader_config_write(link_.link, 2, content), ReaderResult::ok);
  EXPECT_EQ(reader_->slot(2), content);
  const auto sent = reader_->commands().back();
  EXPECT_EQ(sent.code(), 0x23);
  EXPECT_EQ(sent.sub(), 2);
  EXPECT_EQ(sent.param1(), 0x10);
  EXPECT_EQ(sent.frame.size(), 25u);
}

}  // namespace
}  // namespace kk::cardkit
