// Drive-letter paths. The kit names its log files with Windows drive paths
// ("D://log121110.txt", "C:\20130205.txt"). On Windows they are used as
// written. Elsewhere the drive is the folder named by KIOSKKIT_DRIVE_<LETTER>
// (read afresh on every call), and '\' and '//' in the rest are read as '/'.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kk::platform {

// The path to open for `path`, or nothing when its drive does not exist
// (the variable is unset or empty). A path without a drive letter is
// returned unchanged.
[[nodiscard]] std::optional<std::string> resolve_drive_path(std::string_view path);

}  // namespace kk::platform
