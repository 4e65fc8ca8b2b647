// Win32 drive paths are the system's own: nothing to map.
#include "platform/drive.h"

namespace kk::platform {

std::optional<std::string> resolve_drive_path(std::string_view path) { return std::string(path); }

}  // namespace kk::platform
