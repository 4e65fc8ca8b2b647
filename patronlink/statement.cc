#include "patronlink/statement.h"

namespace kk::patronlink {
namespace {

bool is_name_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

bool is_gbk_lead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool is_gbk_trail(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE); }

std::optional<std::string> within_limit(std::string statement) {
  if (statement.size() > kMaxStatementChars) return std::nullopt;
  return statement;
}

}  // namespace

bool is_plain_field_name(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (is_name_byte(c)) continue;
    if (is_gbk_lead(c) && i + 1 < name.size() && is_gbk_trail(static_cast<unsigned char>(name[i + 1]))) {
      ++i;
      continue;
    }
    return false;
  }
  return true;
}

std::string search_condition(std::string_view key, const Escaper& escape) {
  std::string condition(kKeyColumn);
  condition.append(" = '").append(escape(key)).append("'");
  return condition;
}

std::string select_statement(std::string_view key, const Escaper& escape) {
  std::string statement("SELECT * FROM ");
  statement.append(kTableName).append(" WHERE ").append(search_condition(key, escape));
  return statement;
}

std::optional<std::string> insert_statement(std::string_view table, std::span<const FieldSlot> slots,
                                            const Escaper& escape) {
  if (slots.empty()) return std::nullopt;
  std::string statement("insert into ");
  statement.append(table).append("(");
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) statement.append(",");
    statement.append(slots[i].name);
  }
  statement.append(") values(");
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) statement.append(",");
    statement.append("'").append(escape(slots[i].value)).append("'");
  }
  statement.append(")");
  return within_limit(std::move(statement));
}

std::optional<std::string> update_statement(std::string_view table, std::span<const FieldSlot> slots,
                                            std::string_view condition, const Escaper& escape) {
  if (slots.empty()) return std::nullopt;
  std::string statement("update ");
  statement.append(table).append(" set ");
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) statement.append(",");
    statement.append(slots[i].name).append("='").append(escape(slots[i].value)).append("'");
  }
  // A space takes the place of the list's last comma, then " where ":
  // two spaces, as this bridge's update statements have always read.
  statement.append(" ").append(" where ").append(condition);
  return within_limit(std::move(statement));
}

}  // namespace kk::patronlink
