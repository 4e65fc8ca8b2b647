// patronlink against a real MariaDB server (db-start.sh): the cursor, the
// statements the server receives, escaping, limits and the C exports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "db_fixture.h"
#include "gbk.h"
#include "patronlink.h"
#include "patronlink/patron_store.h"

namespace kk::patronlink {
namespace {

using test::gbk;
using test::hex;
using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;

class PatronDb : public testing::Test {
 protected:
  void SetUp() override {
    admin_ = std::make_unique<test::AdminConnection>();
    admin_->exec("SET GLOBAL sql_mode = DEFAULT");
    test::reset_reader_table(*admin_);
  }
  void TearDown() override { admin_->exec("SET GLOBAL sql_mode = DEFAULT"); }

  void connect(PatronStore& store) {
    ASSERT_EQ(store.connect(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase),
              Status::ok);
  }
  std::string field(const PatronStore& store, std::string_view name) {
    const auto [status, value] = store.field(name);
    EXPECT_EQ(status, 0) << name;
    return std::string(value);
  }

  std::unique_ptr<test::AdminConnection> admin_;
};

TEST_F(PatronDb, ConnectTwiceSecondCallNeverReachesTheServer) {
  ASSERT_EQ(ConnectDB(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase), 0);
  const test::QueryLog log;
  EXPECT_EQ(ConnectDB("nobody", "wrong", "127.0.0.2", "nothing"), 0);
  EXPECT_THAT(log.entries(), IsEmpty());
  CloseDB();
}

TEST_F(PatronDb, RefusedConnectionShowsTheReasonAndRetriesAfresh) {
  struct Case {
    const char* name;
    const char* password;
    const char* host;
    const char* reason;
  };
  const Case cases[] = {
      {"wrong password", "not-the-password", test::kKioskHost, "Access denied for user 'kiosk'@'127.0.0.1'"},
      {"no server at that address", test::kKioskPassword, "127.0.0.2", "Can't connect"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConnectDB(test::kKioskUser, c.password, c.host, test::kKioskDatabase), -80001) << c.name;
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line.rfind("QUILL 消息: ", 0), 0u) << line;
    EXPECT_THAT(line, HasSubstr(c.reason));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
  }
  // The failed attempts leave nothing behind that stops a good one.
  EXPECT_EQ(ConnectDB(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase), 0);
  EXPECT_EQ(SrchRecFirst("K"), 0);
  CloseDB();
}

TEST_F(PatronDb, FieldBeforeAnySearchGivesTheLastErrorNumber) {
  PatronStore store;
  connect(store);
  const auto [status, value] = store.field("R01B");
  EXPECT_EQ(status, 0);  // a fresh connection has no error
  EXPECT_EQ(value, "");
}

TEST_F(PatronDb, KeyWithNoRow) {
  PatronStore store;
  connect(store);
  EXPECT_EQ(store.search_first("NOBODY"), -10);
  const auto [status, value] = store.field("R01B");
  EXPECT_EQ(status, -1);
  EXPECT_EQ(value, "");
}

TEST_F(PatronDb, ReadsTheRowWithNullsChineseAndExactNames) {
  PatronStore store;
  connect(store);
  const test::QueryLog log;
  ASSERT_EQ(store.search_first("P001"), 0);
  EXPECT_THAT(log.queries(), Contains("SELECT * FROM READER WHERE R01B = 'P001'"));
  EXPECT_EQ(field(store, "R01B"), "P001");
  EXPECT_EQ(field(store, "A"), "x");
  EXPECT_EQ(field(store, "R02"), "");  // NULL
  EXPECT_EQ(field(store, "NAME"), gbk("张三"));
  for (const char* name : {"r01b", "Name", "R01B ", "", "MISSING"}) {
    const auto [status, value] = store.field(name);
    EXPECT_EQ(status, -1) << name;
    EXPECT_EQ(value, "") << name;
  }
}

TEST_F(PatronDb, ExportCopiesTheValueWithItsTerminator) {
  ASSERT_EQ(ConnectDB(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase), 0);
  ASSERT_EQ(SrchRecFirst("P002"), 0);
  char value[16];
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(GetRecField("R02", value), 0);
  EXPECT_EQ(std::string(value, 4), std::string("r2\0#", 4));
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(GetRecField("nope", value), -1);
  EXPECT_EQ(value[0], '\0');
  // Null arguments are refused; the value is still emptied.
  std::memset(value, '#', sizeof value);
  EXPECT_EQ(GetRecField(nullptr, value), -1);
  EXPECT_EQ(value[0], '\0');
  EXPECT_EQ(GetRecField("R02", nullptr), -1);
  EXPECT_EQ(SrchRecFirst(nullptr), -1);
  EXPECT_EQ(SetRecField(nullptr, "1"), -1);
  EXPECT_EQ(SetRecField("A", nullptr), -1);
  CloseDB();
}

TEST_F(PatronDb, PlainUpdateAndInsertSendExactlyTheseStatements) {
  PatronStore store;
  connect(store);
  ASSERT_EQ(store.search_first("K"), 0);
  store.edit();
  ASSERT_EQ(store.set_field("A", "1"), Status::ok);
  ASSERT_EQ(store.set_field("B", "2"), Status::ok);
  {
    const test::QueryLog log;
    ASSERT_EQ(store.update(), Status::ok);
    EXPECT_THAT(log.queries(), Contains("update READER set A='1',B='2'  where R01B = 'K'"));
  }
  EXPECT_EQ(admin_->rows("SELECT A, B FROM READER WHERE R01B = 'K'"), (test::Rows{{"1", "2"}}));

  store.add_new();
  ASSERT_EQ(store.set_field("A", "1"), Status::ok);
  ASSERT_EQ(store.set_field("B", "2"), Status::ok);
  {
    const test::QueryLog log;
    ASSERT_EQ(store.update(), Status::ok);
    EXPECT_THAT(log.queries(), Contains("insert into READER(A,B) values('1','2')"));
  }
  EXPECT_EQ(admin_->scalar("SELECT COUNT(*) FROM READER WHERE R01B IS NULL AND A = '1' AND B = '2'"), "1");
  EXPECT_EQ(admin_->scalar("SELECT COUNT(*) FROM READER"), "4");
}

TEST_F(PatronDb, ChineseTextRoundTripsInGbk) {
  PatronStore store;
  connect(store);
  store.add_new();
  ASSERT_EQ(store.set_field("R01B", gbk("读者一")), Status::ok);
  ASSERT_EQ(store.set_field("NAME", gbk("王小明")), Status::ok);
  ASSERT_EQ(store.update(), Status::ok);
  // The server read the bytes as GBK: in UTF-8 they are the same text.
  EXPECT_EQ(admin_->scalar("SELECT NAME FROM READER WHERE R01B = '读者一'"), "王小明");

  ASSERT_EQ(store.search_first(gbk("读者一")), 0);
  EXPECT_EQ(field(store, "NAME"), gbk("王小明"));
  ASSERT_EQ(store.search_first("P002"), 0);
  EXPECT_EQ(field(store, "NAME"), gbk("李四"));
}

// Keys and values that would break out of their quotes if they went into
// the statement unescaped, under both ways the server can read a string.
class HostileText : public PatronDb, public testing::WithParamInterface<bool> {};

TEST_P(HostileText, IsStoredExactlyAndHarmsNoOtherRow) {
  const bool no_backslash_escapes = GetParam();
  if (no_backslash_escapes)
    admin_->exec("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
  const auto others_before = test::all_rows_hex(*admin_);

  // 0x955C is one GBK character (昞) whose second byte is a backslash.
  const std::string gbk_5c = "\x95\x5C";
  ASSERT_EQ(gbk_5c, gbk("昞"));
  const std::string key = "K'\\" + gbk_5c + "'--";
  const std::string values[] = {
      "O'Brien",
      "a\\b\\",
      "x' OR '1'='1",
      "'); DELETE FROM READER; --",
      gbk_5c + "', B='hijacked",
      "end with " + gbk_5c,  // a naive escaper would double its 0x5C and open the next quote
      "quote\"and\\'mix\\\\",
  };

  PatronStore store;
  connect(store);
  for (const auto& value : values) {
    SCOPED_TRACE(hex(value));
    admin_->exec("DELETE FROM READER WHERE R02 = 'hostile'");
    // Insert: key and value exactly, the value in two columns.
    store.add_new();
    ASSERT_EQ(store.set_field("R01B", key), Status::ok);
    ASSERT_EQ(store.set_field("A", value), Status::ok);
    ASSERT_EQ(store.set_field("B", value), Status::ok);
    ASSERT_EQ(store.set_field("R02", "hostile"), Status::ok);
    const test::QueryLog log;
    ASSERT_EQ(store.update(), Status::ok);
    if (value == "O'Brien") {
      // The server really read the statement in the mode under test.
      const auto queries = log.queries();
      ASSERT_FALSE(queries.empty());
      EXPECT_THAT(queries[0], HasSubstr(no_backslash_escapes ? "'O''Brien'" : "'O\\'Brien'"));
    }
    EXPECT_EQ(admin_->rows("SELECT HEX(R01B), HEX(A), HEX(B) FROM READER WHERE R02 = 'hostile'"),
              (test::Rows{{hex(key), hex(value), hex(value)}}));

    // Update through a search for the hostile key: only that row changes.
    ASSERT_EQ(store.search_first(key), 0);
    EXPECT_EQ(field(store, "A"), value);
    store.edit();
    ASSERT_EQ(store.set_field("B", value + "'2"), Status::ok);
    ASSERT_EQ(store.update(), Status::ok);
    EXPECT_EQ(admin_->rows("SELECT HEX(A), HEX(B) FROM READER WHERE R02 = 'hostile'"),
              (test::Rows{{hex(value), hex(value + "'2")}}));

    admin_->exec("DELETE FROM READER WHERE R02 = 'hostile'");
    EXPECT_EQ(test::all_rows_hex(*admin_), others_before);
  }
}

INSTANTIATE_TEST_SUITE_P(SqlModes, HostileText, testing::Values(false, true), [](const auto& param_info) {
  return param_info.param ? "NoBackslashEscapes" : "Default";
});

TEST_F(PatronDb, OverlongInputIsRefusedAndNothingIsSent) {
  PatronStore store;
  connect(store);
  const test::QueryLog log;
  EXPECT_EQ(store.search_first(std::string(62, 'k')), -1);
  EXPECT_THAT(log.queries(), IsEmpty());
  EXPECT_EQ(store.search_first(std::string(61, 'k')), -10);  // the longest key is searched

  store.edit();
  EXPECT_EQ(store.set_field(std::string(32, 'F'), "v"), Status::refused);
  EXPECT_EQ(store.set_field("A", std::string(256, 'v')), Status::refused);
  for (const char* name : {"A B", "A='1',R01B", "", "R01B`"})
    EXPECT_EQ(store.set_field(name, "v"), Status::refused);
  EXPECT_EQ(store.set_field(std::string(31, 'F'), std::string(255, 'v')), Status::ok);
  for (int i = 1; i < 40; ++i) ASSERT_EQ(store.set_field("A", "v"), Status::ok) << i;
  EXPECT_EQ(store.set_field("A", "v"), Status::refused);  // the 41st

  // 40 fields of this size make a statement far beyond 4095 bytes.
  store.edit();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(store.set_field("A", std::string(255, '\'')), Status::ok);
  const test::QueryLog update_log;
  EXPECT_EQ(store.update(), Status::refused);
  EXPECT_THAT(update_log.queries(), IsEmpty());
  EXPECT_EQ(admin_->scalar("SELECT COUNT(*) FROM READER WHERE A LIKE '%''%'"), "0");
}

TEST_F(PatronDb, UpdateReleasesTheCursorAndANewSearchReplacesIt) {
  PatronStore store;
  connect(store);
  ASSERT_EQ(store.search_first("P001"), 0);
  ASSERT_EQ(store.search_first("P002"), 0);  // releases the P001 result
  EXPECT_EQ(field(store, "R01B"), "P002");

  store.edit();
  ASSERT_EQ(store.set_field("A", "changed"), Status::ok);
  ASSERT_EQ(store.update(), Status::ok);
  // The released result is never read again.
  const auto [status, value] = store.field("R01B");
  EXPECT_EQ(status, -1);
  EXPECT_EQ(value, "");
  // The pending record and the search key stay: running it again is fine.
  ASSERT_EQ(store.set_field("B", "again"), Status::ok);
  EXPECT_EQ(store.update(), Status::ok);
  EXPECT_EQ(admin_->rows("SELECT A, B FROM READER WHERE R01B = 'P002'"), (test::Rows{{"changed", "again"}}));

  ASSERT_EQ(store.search_first("P001"), 0);
  EXPECT_EQ(field(store, "A"), "x");
}

TEST_F(PatronDb, UpdatesThatCannotRunReturnMinusOne) {
  PatronStore store;
  connect(store);
  // No pending record at all.
  EXPECT_EQ(store.update(), Status::refused);
  // A pending record without fields.
  store.add_new();
  EXPECT_EQ(store.update(), Status::refused);
  store.edit();
  EXPECT_EQ(store.update(), Status::refused);
  // Edit before any search: the statement ends in a bare "where" and the
  // server rejects it (its log drops the trailing space).
  ASSERT_EQ(store.set_field("A", "1"), Status::ok);
  const test::QueryLog log;
  EXPECT_EQ(store.update(), Status::refused);
  EXPECT_THAT(log.queries(), Contains("update READER set A='1'  where"));
  // An insert the server rejects.
  store.add_new();
  ASSERT_EQ(store.set_field("NO_SUCH_COLUMN", "1"), Status::ok);
  EXPECT_EQ(store.update(), Status::refused);
  EXPECT_EQ(admin_->scalar("SELECT COUNT(*) FROM READER"), "3");
}

TEST_F(PatronDb, FailedSearchLeavesTheCursorButMovesTheUpdateKey) {
  PatronStore store;
  connect(store);
  ASSERT_EQ(store.search_first("P001"), 0);
  admin_->exec("RENAME TABLE READER TO READER_AWAY");
  const int32_t rc = store.search_first("P002");
  admin_->exec("RENAME TABLE READER_AWAY TO READER");
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, -10);
  EXPECT_NE(rc, -100);
  EXPECT_EQ(field(store, "R01B"), "P001");
  // The failed search's key is the one an update changes.
  store.edit();
  ASSERT_EQ(store.set_field("A", "moved"), Status::ok);
  ASSERT_EQ(store.update(), Status::ok);
  EXPECT_EQ(admin_->scalar("SELECT R01B FROM READER WHERE A = 'moved'"), "P002");
}

TEST_F(PatronDb, ConnectAfterCloseUsesAFreshConnection) {
  PatronStore store;
  connect(store);
  ASSERT_EQ(store.search_first("K"), 0);
  store.close();
  EXPECT_EQ(store.field("R01B").first, -1);
  EXPECT_EQ(store.search_first("K"), -1);
  store.edit();
  ASSERT_EQ(store.set_field("A", "1"), Status::ok);
  EXPECT_EQ(store.update(), Status::refused);
  store.close();  // twice is harmless

  const test::QueryLog log;
  connect(store);
  bool connected = false;
  for (const auto& e : log.entries()) connected = connected || e.command == "Connect";
  EXPECT_TRUE(connected);
  ASSERT_EQ(store.search_first("K"), 0);
  EXPECT_EQ(field(store, "R02"), "kiosk");
}

}  // namespace
}  // namespace kk::patronlink
