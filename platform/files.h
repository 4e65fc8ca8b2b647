// Plain file services used by the kit's log writers.
#pragma once

#include <string>
#include <string_view>

namespace kk::platform {

// Appends `bytes` to the file at `path`, creating it when missing: open,
// move to the end, one write, close. Other processes may read the file
// meanwhile, and concurrent appenders never interleave within one call's
// bytes. Returns false when the file cannot be opened or the write fails.
[[nodiscard]] bool append_to_file(const std::string& path, std::string_view bytes);

// Creates the folder `path` (one level). True when it exists afterwards.
[[nodiscard]] bool make_directory(const std::string& path);

}  // namespace kk::platform
