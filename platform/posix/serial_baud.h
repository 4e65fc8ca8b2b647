// Line rates that termios has no constant for (56000 baud among the rates a
// validator may be set to) are applied through the Linux termios2 interface,
// which takes the rate as a number. It lives in its own file because its
// kernel header cannot be included next to <termios.h>.
#pragma once

#include <cstdint>

namespace kk::platform::detail {

// Sets input and output rate of the open terminal `fd` to `baud` exactly.
[[nodiscard]] bool set_numeric_baud(int fd, uint32_t baud);

}  // namespace kk::platform::detail
