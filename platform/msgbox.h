// The one message box of the kit: patronlink tells the person at the
// terminal that the patron database cannot be reached. On Windows it is the
// system's ANSI message box (no owner, OK button, topmost) and blocks until
// dismissed; on Linux it is one line on standard error, "caption: message"
// in UTF-8, and returns at once.
#pragma once

#include <string_view>

namespace kk::platform {

// Both texts are in the system's ANSI code page of the kit, GBK. Bytes that
// are not valid GBK are shown as U+FFFD on Linux; nothing here fails.
void show_message_box(std::string_view caption_gbk, std::string_view message_gbk);

}  // namespace kk::platform
