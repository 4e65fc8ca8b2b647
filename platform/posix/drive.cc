// Drive letters mapped onto folders named by KIOSKKIT_DRIVE_<LETTER>.
#include "platform/drive.h"

#include <cctype>
#include <cstdlib>

namespace kk::platform {

std::optional<std::string> resolve_drive_path(std::string_view path) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0])))
    return std::string(path);

  std::string variable = "KIOSKKIT_DRIVE_";
  variable += static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  const char* folder = std::getenv(variable.c_str());
  if (folder == nullptr || *folder == '\0') return std::nullopt;

  std::string result(folder);
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  // Each name of the rest follows one '/': runs of '\' and '/' are one separator.
  bool separator_due = true;
  for (const char c : path.substr(2)) {
    if (c == '\\' || c == '/') {
      separator_due = true;
      continue;
    }
    if (separator_due && result.back() != '/') result += '/';
    separator_due = false;
    result += c;
  }
  return result;
}

}  // namespace kk::platform
