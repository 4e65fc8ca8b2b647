#include "patronlink/statement.h"

#include <gtest/gtest.h>

#include <string>

#include "gbk.h"

namespace kk::patronlink {
namespace {

TEST(FieldName, OnlyPlainNamesCanStandBareInAStatement) {
  struct Case {
    std::string name;
    bool plain;
  };
  const Case cases[] = {
      {"R01B", true},
      {"reader_name$2", true},
      {test::gbk("姓名"), true},
      {"\x95\x5C", true},  // a GBK character whose second byte is a backslash
      {"", false},
      {"A B", false},
      {"A='1',R01B", false},
      {"A)values('x')#", false},
      {"`R01B`", false},
      {"A;DROP", false},
      {"A-- ", false},
      {"\x95", false},   // a lead byte with nothing after it
      {"\x95'", false},  // a lead byte before a quote is no character
      {"A\\", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_plain_field_name(c.name), c.plain) << c.name;
}

}  // namespace
}  // namespace kk::patronlink
