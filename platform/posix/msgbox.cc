// POSIX message box: one line on standard error, converted from GBK to
// UTF-8 with iconv. An unattended terminal has nobody to press OK, so the
// line never blocks.
#include "platform/msgbox.h"

#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/no_sigpipe.h"

namespace kk::platform {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// GBK to UTF-8; a byte that starts no valid GBK character becomes U+FFFD,
// so a text of unknown origin (a server's error message) is still shown.
std::string gbk_to_utf8(std::string_view gbk) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // No converter on this system: ASCII passes, the rest is replaced.
    for (const char c : gbk) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out.push_back(c);
      } else {
        out.append(kReplacement);
      }
    }
    return out;
  }
  std::string input(gbk);
  char* in = input.data();
  size_t in_left = input.size();
  char chunk[256];
  while (in_left > 0) {
    char* dst = chunk;
    size_t dst_left = sizeof chunk;
    const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(chunk, static_cast<size_t>(dst - chunk));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // EILSEQ or EINVAL (a lead byte at the end): skip one byte.
      out.append(kReplacement);
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

void show_message_box(std::string_view caption_gbk, std::string_view message_gbk) {
  std::string line = gbk_to_utf8(caption_gbk);
  line.append(": ");
  line.append(gbk_to_utf8(message_gbk));
  line.push_back('\n');
  // The whole line in one write(2) where the pipe takes it, so it is not
  // interleaved with other output; a failed write has nowhere to go, and a
  // standard error nobody reads any more must not end the host.
  const NoSigpipe no_sigpipe;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace kk::platform
