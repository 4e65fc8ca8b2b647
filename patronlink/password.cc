#include "patronlink/password.h"

#include <cstdint>
#include <span>

#include "patronlink/md5.h"

namespace kk::patronlink {
namespace {
constexpr std::string_view kSalt = "zorb";

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}
}  // namespace

std::optional<DigestText> reader_password_digest(std::string_view password) {
  if (password.size() > kMaxPasswordBytes) return std::nullopt;

  Md5 hasher;
  hasher.update(bytes_of(kSalt));
  hasher.update(bytes_of(password));
  const Md5Digest digest = hasher.finish();

  static constexpr char kHex[] = "0123456789abcdef";
  DigestText text;
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace kk::patronlink
