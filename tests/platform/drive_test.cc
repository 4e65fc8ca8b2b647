// Drive letters on POSIX systems: a drive is the folder named by
// KIOSKKIT_DRIVE_<LETTER>, read afresh on each call.
#include "platform/drive.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace kk::platform {
namespace {

struct DriveCase {
  const char* drive_c;
  const char* drive_d;
  const char* path;
  const char* expected;  // nullptr: the drive does not exist
};

TEST(DrivePath, MapsDriveLettersOntoFolders) {
  const DriveCase cases[] = {
      {nullptr, "/var/log/kiosk", "D://log121110.txt", "/var/log/kiosk/log121110.txt"},
      {"/srv/cash", nullptr, "C:\\20130205.txt", "/srv/cash/20130205.txt"},
      {"/srv/cash/", nullptr, "C:\\a\\\\b//c.txt", "/srv/cash/a/b/c.txt"},
      {"/srv/cash", nullptr, "c:\\lower.txt", "/srv/cash/lower.txt"},
      {"/srv/cash", nullptr, "relative/name.txt", "relative/name.txt"},
      {nullptr, nullptr, "D://log121110.txt", nullptr},
      {"", "", "C:\\x.txt", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.drive_c)
      setenv("KIOSKKIT_DRIVE_C", c.drive_c, 1);
    else
      unsetenv("KIOSKKIT_DRIVE_C");
    if (c.drive_d)
      setenv("KIOSKKIT_DRIVE_D", c.drive_d, 1);
    else
      unsetenv("KIOSKKIT_DRIVE_D");
    const auto resolved = resolve_drive_path(c.path);
    if (c.expected == nullptr) {
      EXPECT_FALSE(resolved.has_value());
    } else {
      ASSERT_TRUE(resolved.has_value());
      EXPECT_EQ(*resolved, c.expected);
    }
  }
  unsetenv("KIOSKKIT_DRIVE_C");
  unsetenv("KIOSKKIT_DRIVE_D");
}

}  // namespace
}  // namespace kk::platform
