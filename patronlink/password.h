// Patron password digests as the library-management system stores them:
// MD5 of the fixed salt "zorb" followed by the password, written as 32
// lower-case hexadecimal characters.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kk::patronlink {

inline constexpr size_t kDigestTextSize = 32;
// The salted text is built in 128 bytes with its terminator: the four salt
// characters leave room for 123 bytes of password.
inline constexpr size_t kMaxPasswordBytes = 123;

using DigestText = std::array<char, kDigestTextSize>;

// The digest text of `password`, or nothing when the password is longer
// than kMaxPasswordBytes.
[[nodiscard]] std::optional<DigestText> reader_password_digest(std::string_view password);

}  // namespace kk::patronlink
