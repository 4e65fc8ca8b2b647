// Test helper: the GBK bytes of a UTF-8 literal, so tests can write
// Chinese text readably and hand the kit the bytes it works in.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace kk::test {

inline std::string convert(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string input(text);
  std::string out(text.size() * 4 + 4, '\0');
  char* in = input.data();
  size_t in_left = input.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::runtime_error("text does not convert");
  out.resize(out.size() - dst_left);
  return out;
}

inline std::string gbk(std::string_view utf8) { return convert(utf8, "GBK", "UTF-8"); }

}  // namespace kk::test
