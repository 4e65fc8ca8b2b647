#include "db_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kk::test {

std::string db_dir() {
  const char* dir = std::getenv("KIOSKKIT_PATRON_DB_DIR");
  if (dir == nullptr || *dir == '\0') throw std::runtime_error("KIOSKKIT_PATRON_DB_DIR is not set");
  return dir;
}

AdminConnection::AdminConnection() : mysql_(mysql_init(nullptr)) {
  if (mysql_ == nullptr) throw std::runtime_error("mysql_init failed");
  mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const std::string socket = db_dir() + "/mysqld.sock";
  if (mysql_real_connect(mysql_, "localhost", "root", "", kKioskDatabase, 0, socket.c_str(), 0) == nullptr) {
    const std::string error = mysql_error(mysql_);
    mysql_close(mysql_);
    throw std::runtime_error("admin connection failed: " + error);
  }
}

AdminConnection::~AdminConnection() { mysql_close(mysql_); }

void AdminConnection::exec(const std::string& sql) {
  if (mysql_query(mysql_, sql.c_str()) != 0) throw std::runtime_error(sql + ": " + mysql_error(mysql_));
  if (MYSQL_RES* r = mysql_store_result(mysql_)) mysql_free_result(r);
}

Rows AdminConnection::rows(const std::string& sql) {
  if (mysql_query(mysql_, sql.c_str()) != 0) throw std::runtime_error(sql + ": " + mysql_error(mysql_));
  MYSQL_RES* r = mysql_store_result(mysql_);
  if (r == nullptr) throw std::runtime_error(sql + ": no result");
  Rows out;
  const unsigned n = mysql_num_fields(r);
  while (MYSQL_ROW row = mysql_fetch_row(r)) {
    const unsigned long* lengths = mysql_fetch_lengths(r);
    auto& cells = out.emplace_back();
    for (unsigned i = 0; i < n; ++i) {
      if (row[i] == nullptr) {
        cells.emplace_back();
      } else {
        cells.emplace_back(std::string(row[i], lengths[i]));
      }
    }
  }
  mysql_free_result(r);
  return out;
}

std::optional<std::string> AdminConnection::scalar(const std::string& sql) {
  const auto result = rows(sql);
  if (result.empty() || result[0].empty()) return std::nullopt;
  return result[0][0];
}

QueryLog::QueryLog() : path_(db_dir() + "/general.log"), start_(std::filesystem::file_size(path_)) {}

std::vector<QueryLog::Entry> QueryLog::entries() const {
  std::ifstream in(path_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start_));
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Entry lines: [time]\t<spaces><thread id> <command>\t<argument>
  std::vector<Entry> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const size_t id = line.find_first_not_of("\t ", tab);
    if (id == std::string::npos) continue;
    const size_t id_end = line.find_first_not_of("0123456789", id);
    if (id_end == id || id_end == std::string::npos || line[id_end] != ' ') continue;
    const size_t command_end = line.find('\t', id_end + 1);
    if (command_end == std::string::npos) continue;
    out.push_back({line.substr(id_end + 1, command_end - id_end - 1), line.substr(command_end + 1)});
  }
  return out;
}

std::vector<std::string> QueryLog::queries() const {
  std::vector<std::string> out;
  for (const auto& e : entries()) {
    if (e.command == "Query") out.push_back(e.argument);
  }
  return out;
}

void reset_reader_table(AdminConnection& admin) {
  admin.exec("DROP TABLE IF EXISTS READER");
  admin.exec(
      "CREATE TABLE READER (R01B VARCHAR(64) NULL, R02 VARCHAR(64) NULL, A VARCHAR(255) NULL, "
      "B VARCHAR(255) NULL, NAME VARCHAR(64) NULL, KEY (R01B)) DEFAULT CHARSET=gbk");
  admin.exec(
      "INSERT INTO READER VALUES ('K','kiosk','a0','b0',NULL), ('P001',NULL,'x','y','张三'), "
      "('P002','r2','a2','b2','李四')");
}

Rows all_rows_hex(AdminConnection& admin) {
  return admin.rows(
      "SELECT HEX(R01B), HEX(R02), HEX(A), HEX(B), HEX(NAME) FROM READER ORDER BY 1, 2, 3, 4, 5");
}

std::string hex(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

}  // namespace kk::test
