// termios2: a numeric line rate (BOTHER).
#include "platform/posix/serial_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kk::platform::detail {

bool set_numeric_baud(int fd, uint32_t baud) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace kk::platform::detail
