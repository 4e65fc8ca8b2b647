// The patron store: patronlink's one connection to the library-management
// database, its one-row cursor over the table READER (searched on R01B)
// and its pending record, from which one INSERT or UPDATE is built. All
// database work goes through the MySQL C API of the client library.
//
// The store expects one call at a time. The exports use one process-wide
// store; tests make their own.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "patronlink/statement.h"

namespace kk::patronlink {

// Results as the exports return them. Besides these, a search passes on
// the client library's non-zero query result and a field read before any
// search passes on the connection's last error number.
enum class Status : int32_t {
  ok = 0,
  refused = -1,  // bad or overlong input, no row or field, statement failed
  no_row = -10,
  store_failed = -100,
  connect_failed = -80001,
};

// The caption and the message of the message box, in GBK.
inline constexpr std::string_view kMessageCaption = "QUILL \xCF\xFB\xCF\xA2";  // QUILL 消息
inline constexpr std::string_view kInitFailedText =
    "\xCE\xB4\xC4\xDC\xB3\xF5\xCA\xBC"  // 未能初始
    "\xBB\xAFMYSQL\xA3\xA1";            // 化MYSQL！
// The port of the library-management database, fixed.
inline constexpr unsigned kDatabasePort = 3306;

class PatronStore {
 public:
  // Creates the connection object (mysql_init); a failure shows at connect.
  PatronStore();
  ~PatronStore();
  PatronStore(const PatronStore&) = delete;
  PatronStore& operator=(const PatronStore&) = delete;

  // Connects once; later calls return ok without touching the server until
  // close(), or until a call finds the connection lost (dropped by the
  // server, or cut by a time-out), which lets the next connect start afresh.
  // Every wait is bounded and TLS is used as the environment asks
  // (link_security.h). Null arguments take the client library's defaults. A
  // failure shows the message box and returns connect_failed.
  [[nodiscard]] Status connect(const char* user, const char* password, const char* host,
                               const char* database);
  // Releases the cursor and closes the connection; connect() starts afresh.
  void close();

  // Runs the search for `key` and keeps the first row. Returns ok, no_row,
  // store_failed, refused (key over kMaxKeyChars or no connection object),
  // or the query call's non-zero result (the cursor is then unchanged).
  [[nodiscard]] int32_t search_first(std::string_view key);

  // The value of the current row's field `name` (exact, case-sensitive);
  // an empty view for NULL. Status ok, or refused (no row, no such field,
  // cursor released); before any search, the connection's last error
  // number.
  [[nodiscard]] std::pair<int32_t, std::string_view> field(std::string_view name) const;

  void add_new() { start_pending(PendingMode::insert); }
  void edit() { start_pending(PendingMode::update); }
  // Appends one field to the pending record; refused when the name is not
  // a plain name or too long, the value too long, or kMaxFields are set.
  [[nodiscard]] Status set_field(std::string_view name, std::string_view value);
  // Builds, runs and commits the pending statement, then releases the
  // search result whatever the outcome. ok or refused.
  [[nodiscard]] Status update();

 private:
  enum class Cursor { none, open, released };

  struct ResultDeleter {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
  };
  struct ConnectionDeleter {
    void operator()(MYSQL* m) const { mysql_close(m); }
  };

  void start_pending(PendingMode mode);
  void release_result();
  [[nodiscard]] Status fail_connect(std::string text);
  // mysql_query, noting a lost connection.
  [[nodiscard]] int run(const std::string& statement);
  // After a failed call: a connection the server dropped, or that a
  // time-out cut, is not taken for a live one any more.
  void note_if_lost();
  [[nodiscard]] std::string escape(std::string_view text) const;

  std::unique_ptr<MYSQL, ConnectionDeleter> connection_;
  bool connected_ = false;
  bool lost_ = false;  // a call found the connection gone

  std::optional<std::string> search_key_;  // key of the last search, unescaped
  std::unique_ptr<MYSQL_RES, ResultDeleter> result_;
  Cursor cursor_ = Cursor::none;
  MYSQL_FIELD* fields_ = nullptr;
  MYSQL_ROW row_ = nullptr;
  int32_t field_count_ = 0;

  PendingMode mode_ = PendingMode::insert;
  std::string table_;
  std::vector<FieldSlot> slots_;
};

// The process-wide store behind the C exports.
[[nodiscard]] PatronStore& patron_store();

}  // namespace kk::patronlink
