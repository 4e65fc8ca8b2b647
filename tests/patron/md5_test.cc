#include "patronlink/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "patronlink.h"
#include "patronlink/password.h"

namespace kk::patronlink {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string hex(const Md5Digest& d) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : d) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

struct Vector {
  const char* name;
  std::string_view message;
  const char* digest;
};

// RFC 1321, appendix A.5 ("test suite").
constexpr Vector kRfc1321Suite[] = {
    {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"digits x8", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321TestSuite) {
  for (const auto& v : kRfc1321Suite) {
    EXPECT_EQ(hex(md5(bytes_of(v.message))), v.digest) << v.name;
  }
}

// Padding and block handling: every split of a message that crosses two
// block boundaries, and every length around the 56-byte padding edge, must
// give the one-shot digest.
TEST(Md5, IncrementalMatchesOneShotAtEverySplit) {
  std::string message;
  for (int i = 0; i < 150; ++i) message.push_back(static_cast<char>('A' + i % 26));
  const Md5Digest whole = md5(bytes_of(message));
  for (size_t split = 0; split <= message.size(); ++split) {
    Md5 hasher;
    hasher.update(bytes_of(std::string_view(message).substr(0, split)));
    hasher.update(bytes_of(std::string_view(message).substr(split)));
    EXPECT_EQ(hasher.finish(), whole) << "split at " << split;
  }
  // 55, 56 and 64 bytes: the length field fits, just misses, fills a block.
  EXPECT_EQ(hex(md5(bytes_of(std::string(55, 'a')))), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(hex(md5(bytes_of(std::string(56, 'a')))), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(hex(md5(bytes_of(std::string(64, 'a')))), "014842d480b571495a4a0363793f7367");
}

TEST(ReaderPassword, DigestOfSaltedPassword) {
  struct Case {
    std::string password;
    const char* digest;  // md5 of "zorb" + password
  };
  const Case cases[] = {
      {"", "aa10096eb4000bc22764bdebf95a0644"},  // the salt alone
      {"123456", "17b05b1e8535211b4fcfebb4353328c8"},
      {std::string(123, 'p'), "8c1b4eb4068479310a303818ed148a01"},  // the longest accepted
  };
  for (const auto& c : cases) {
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(GetReaderPasswrod(c.password.c_str(), buffer), 0) << c.password.size();
    EXPECT_EQ(std::string(buffer, 32), c.digest);
    // Exactly 32 bytes: no terminator, nothing after.
    EXPECT_EQ(std::string(buffer + 32, 8), "########");
  }
}

TEST(ReaderPassword, RefusesOverlongAndNullWithoutWriting) {
  const std::string too_long(124, 'p');
  const std::string huge(1 << 20, 'p');
  char buffer[33] = "untouched-untouched-untouched-12";
  EXPECT_EQ(GetReaderPasswrod(too_long.c_str(), buffer), -1);
  EXPECT_EQ(GetReaderPasswrod(huge.c_str(), buffer), -1);
  EXPECT_EQ(GetReaderPasswrod(nullptr, buffer), -1);
  EXPECT_STREQ(buffer, "untouched-untouched-untouched-12");
  EXPECT_EQ(GetReaderPasswrod("", nullptr), -1);
  EXPECT_FALSE(reader_password_digest(too_long).has_value());
}

}  // namespace
}  // namespace kk::patronlink
