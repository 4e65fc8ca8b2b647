// The poll-state decoder: every state, reason and failure the validator
// emulator reports reads back by name, unknown codes and short replies are
// shown as numbers, and the command-line words parse to the codes.
#include "notecore/poll_states.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "validator_fixture.h"

namespace kk::notecore {
namespace {

using test::Bytes;
using test::hex;

TEST(PollStates, DescribesReplies) {
  const struct {
    const char* reply;
    const char* text;
  } cases[] = {
      {"14", "idling"},
      {"19", "unit disabled"},
      {"80 02", "escrow, bill type 2"},
      {"81 17", "bill stacked, bill type 23"},
      {"82 00", "bill returned, bill type 0"},
      {"1C 60", "rejecting: insertion (0x60)"},
      {"1C 62", "rejecting: bill remained in the head (0x62)"},
      {"1C 6C", "rejecting: length (0x6C)"},
      {"1C 6B", "rejecting: reason 0x6B"},  // no such reason
      {"1C", "rejecting, no reason given"},
      {"41", "drop cassette full"},
      {"42", "drop cassette removed"},
      {"43", "validator jammed"},
      {"44", "drop cassette jammed"},
      {"45", "cheated"},
      {"46", "paused"},
      {"47 50", "failure: stack motor (0x50)"},
      {"47 5F", "failure: capacitance canal (0x5F)"},
      {"47 99", "failure: sub-code 0x99"},
      {"47", "failure, no sub-code given"},
      {"80", "escrow, no bill type given"},
      {"99 01", "state 0x99"},
      {"14 55", "idling"},  // a detail byte the state does not have is not read
      {"", "no reply data"},
  };
  for (const auto& c : cases) EXPECT_EQ(describe_poll(hex(c.reply)), c.text) << c.reply;
}

TEST(PollStates, DecodeKeepsTheRawBytesBesideTheNames) {
  const auto status = decode_poll(hex("1C 68"));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->state, 0x1C);
  EXPECT_EQ(status->state_name, "rejecting");
  EXPECT_EQ(status->detail_kind, DetailKind::reject_reason);
  EXPECT_EQ(status->detail, 0x68);
  EXPECT_EQ(status->detail_name, "inhibited");

  const auto unknown = decode_poll(hex("47 99"));
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(unknown->state_name, "failure");
  EXPECT_EQ(unknown->detail, 0x99);
  EXPECT_EQ(unknown->detail_name, "");
  EXPECT_FALSE(decode_poll(Bytes{}).has_value());
}

TEST(PollStates, TablesHaveOneEntryPerCodeAndPerKeyword) {
  for (const auto table : {poll_state_names(), reject_reason_names(), failure_code_names()}) {
    std::set<uint8_t> codes;
    std::set<std::string_view> keywords;
    for (const CodeName& entry : table) {
      EXPECT_TRUE(codes.insert(entry.code).second) << int{entry.code};
      EXPECT_TRUE(keywords.insert(entry.keyword).second) << entry.keyword;
      EXPECT_EQ(parse_code(table, entry.keyword), entry.code) << entry.keyword;
    }
  }
  EXPECT_EQ(reject_reason_names().size(), 12u);
  EXPECT_EQ(failure_code_names().size(), 8u);
}

TEST(PollStates, ParsesKeywordsAndNumbers) {
  const auto reasons = reject_reason_names();
  EXPECT_EQ(parse_code(reasons, "head"), 0x62);
  EXPECT_EQ(parse_code(reasons, "0x64"), 0x64);
  EXPECT_EQ(parse_code(reasons, "0X6a"), 0x6A);
  EXPECT_EQ(parse_code(reasons, "100"), 100);
  EXPECT_EQ(parse_code(reasons, "0x92"), 0x92) << "a code the table does not know can still be named";
  for (const char* bad : {"", "0x", "0x100", "256", "-1", "12abc", "Head", "0x6 4"})
    EXPECT_FALSE(parse_code(reasons, bad).has_value()) << bad;
  EXPECT_EQ(parse_code(failure_code_names(), "optic-canal"), 0x55);
}

}  // namespace
}  // namespace kk::notecore
