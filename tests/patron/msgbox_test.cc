#include "platform/msgbox.h"

#include <gtest/gtest.h>

#include "gbk.h"
#include "patronlink/patron_store.h"

namespace kk::platform {
namespace {

TEST(MessageBox, OneUtf8LineOnStandardError) {
  testing::internal::CaptureStderr();
  show_message_box(patronlink::kMessageCaption, patronlink::kInitFailedText);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "QUILL 消息: 未能初始化MYSQL！\n");

  // Bytes that are not GBK still give a line, with U+FFFD in their place.
  testing::internal::CaptureStderr();
  show_message_box("QUILL", "bad \xFF end \x81");  // 0xFF is no GBK byte, 0x81 leads nothing
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "QUILL: bad \xEF\xBF\xBD end \xEF\xBF\xBD\n");
}

}  // namespace
}  // namespace kk::platform
