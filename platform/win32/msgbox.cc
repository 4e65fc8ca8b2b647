// Win32 message box: the ANSI variant, so the GBK texts are shown as they
// stand on a Chinese-locale system.
#include "platform/msgbox.h"

#include <windows.h>

#include <string>

namespace kk::platform {

void show_message_box(std::string_view caption_gbk, std::string_view message_gbk) {
  const std::string caption(caption_gbk);
  const std::string message(message_gbk);
  MessageBoxA(nullptr, message.c_str(), caption.c_str(), MB_OK | MB_TOPMOST);
}

}  // namespace kk::platform
