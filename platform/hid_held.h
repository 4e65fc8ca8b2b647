// The HID interfaces this process holds, by path. Enumeration passes them
// over without opening them again: a held emulated reader would only refuse
// the connection, and a held device node its lock, many times a second.
//
// Shared by the system implementations of hid.h; not part of its interface.
#pragma once

#include <string>

namespace kk::platform {

// One held interface; it counts as held from hold() until the object goes.
// The registry is a list through these objects under a lock that needs no
// destructor, so it stays usable while a process tears its static objects
// down and reader threads are still closing their devices.
class HeldInterface {
 public:
  HeldInterface() = default;
  ~HeldInterface();
  HeldInterface(const HeldInterface&) = delete;
  HeldInterface& operator=(const HeldInterface&) = delete;

  // Marks the interface at `path` as held. Called once.
  void hold(std::string path);

  [[nodiscard]] static bool held(const std::string& path);

 private:
  std::string path_;
  HeldInterface* next_ = nullptr;
  bool registered_ = false;
};

}  // namespace kk::platform
