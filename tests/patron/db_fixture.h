// The test side of the throwaway MariaDB server that db-start.sh runs: an
// administrator connection over the server's socket (set-up and checks,
// in UTF-8), the kiosk account the kit connects with, and the server's
// general query log, from which tests read the exact statements received.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kk::test {

// Rows of a query result, NULL as nullopt.
using Rows = std::vector<std::vector<std::optional<std::string>>>;

// Credentials of the account db-start.sh creates for the kit.
inline constexpr const char* kKioskUser = "kiosk";
inline constexpr const char* kKioskPassword = "kiosk-pass";
inline constexpr const char* kKioskHost = "127.0.0.1";
inline constexpr const char* kKioskDatabase = "kiosk";

// The server's folder, from KIOSKKIT_PATRON_DB_DIR.
std::string db_dir();

class AdminConnection {
 public:
  AdminConnection();  // throws when the server cannot be reached
  ~AdminConnection();
  AdminConnection(const AdminConnection&) = delete;
  AdminConnection& operator=(const AdminConnection&) = delete;

  void exec(const std::string& sql);  // throws on failure
  // Rows of a query, NULL as nullopt.
  Rows rows(const std::string& sql);
  std::optional<std::string> scalar(const std::string& sql);

 private:
  MYSQL* mysql_;
};

// Reads the general query log from the point it was made.
class QueryLog {
 public:
  QueryLog();
  struct Entry {
    std::string command;  // "Connect", "Query", "Quit", ...
    std::string argument;
  };
  [[nodiscard]] std::vector<Entry> entries() const;
  [[nodiscard]] std::vector<std::string> queries() const;  // arguments of "Query" entries

 private:
  std::string path_;
  uintmax_t start_;
};

// Drops and recreates the table READER in GBK with its test rows:
//   K     r02="kiosk" A="a0" B="b0" NAME=NULL
//   P001  r02=NULL    A="x"  B="y"  NAME="张三"
//   P002  r02="r2"    A="a2" B="b2" NAME="李四"
void reset_reader_table(AdminConnection& admin);

// Every row as text, ordered, for "nothing else changed" checks.
Rows all_rows_hex(AdminConnection& admin);

// Hexadecimal of bytes, upper case, as the server's HEX() gives it.
std::string hex(const std::string& bytes);

}  // namespace kk::test
