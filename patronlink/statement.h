// The statements patronlink sends to the patron table, and the limits of
// what a caller may put into them. Keys and values are escaped by the
// caller-supplied function (the client library's escaping for the live
// connection) before they stand between single quotes; field names stand
// bare, so only plain identifiers are accepted as field names.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kk::patronlink {

inline constexpr std::string_view kTableName = "READER";
inline constexpr std::string_view kKeyColumn = "R01B";

// Limits of the pending record and the statement buffers, in bytes of
// the connection's character set (GBK). Longer input is refused.
inline constexpr size_t kMaxKeyChars = 61;
inline constexpr size_t kMaxFieldNameChars = 31;
inline constexpr size_t kMaxValueChars = 255;
inline constexpr size_t kMaxFields = 40;
inline constexpr size_t kMaxStatementChars = 4095;

struct FieldSlot {
  std::string name;
  std::string value;
};

enum class PendingMode { insert, update };

// Turns a text into what may stand between single quotes in a statement.
using Escaper = std::function<std::string(std::string_view)>;

// True for a name that can stand bare in a statement: letters, digits,
// '_' and '$', and GBK double-byte characters (lead 0x81-0xFE, trail
// 0x40-0x7E or 0x80-0xFE). Nothing that ends a name (space, quote, comma,
// parenthesis, '=', ';', '#', '-') can appear, so a field name can never
// change a statement.
[[nodiscard]] bool is_plain_field_name(std::string_view name);

// "SELECT * FROM READER WHERE R01B = '<key>'", key escaped.
[[nodiscard]] std::string select_statement(std::string_view key, const Escaper& escape);

// "R01B = '<key>'", key escaped: the condition an update uses.
[[nodiscard]] std::string search_condition(std::string_view key, const Escaper& escape);

// "insert into <table>(A,B) values('1','2')". Nothing for an empty slot
// list (there is no statement to send) or a statement longer than
// kMaxStatementChars.
[[nodiscard]] std::optional<std::string> insert_statement(std::string_view table,
                                                          std::span<const FieldSlot> slots,
                                                          const Escaper& escape);

// "update <table> set A='1',B='2' " followed by " where " and the search
// condition (empty before any search: the server then rejects the bare
// "where"). Nothing for an empty slot list or an overlong statement.
[[nodiscard]] std::optional<std::string> update_statement(std::string_view table,
                                                          std::span<const FieldSlot> slots,
                                                          std::string_view condition, const Escaper& escape);

}  // namespace kk::patronlink
