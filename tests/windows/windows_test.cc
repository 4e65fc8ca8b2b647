// What only Windows does, checked against the kit's DLLs as a host loads
// them, with the Linux emulators behind the ".tcp" reader carrier and a COM
// port mapped to the validator emulator's pseudo-terminal:
//  - unloading and exiting with readers attached, cards present and a host
//    thread inside an export; the same for notecore with its port open;
//  - a port another program left set up for text (software flow control,
//    error replacement, null stripping) still carries CCNET replies whose
//    bytes are 0x11 and 0x13;
//  - the cardkit and cashgate logs on their drive letters, the COM-port
//    mapping, and patronlink's message box.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "cardkit.h"
#include "cashgate.h"
#include "notecore.h"
#include "patronlink.h"
#include "windows_support.h"

namespace kk::wintest {
namespace {

constexpr uint8_t kFactoryKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

size_t count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

int validator_com() { return std::atoi(required_env("KIOSKKIT_TEST_COM").c_str()); }

// ---- cardkit: unload and exit ----------------------------------------------

TEST(CardkitLifetime, FreeLibraryReturnsAtOnceAndTheLibraryKeepsWorking) {
  NewLines log(cardkit_log_path());
  HMODULE kit = load_kit(CARDKIT_DLL);
  ASSERT_NE(kit, nullptr) << GetLastError();
  auto request_card = KK_PROC(kit, requestCard);
  auto auth = KK_PROC(kit, M1_AuthAt);
  ASSERT_NE(request_card, nullptr);
  ASSERT_NE(auth, nullptr);
  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_EQ(request_card(&id, &serial, 20000), 0u) << "no card on the emulated reader";

  // A host thread stays inside the library's exports the whole time.
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::thread host([&] {
    while (!stop) {
      uint16_t i = 0;
      uint32_t s = 0;
      (void)request_card(&i, &s, 100);
      (void)auth(0, 4, 1, kFactoryKey);
      ++calls;
    }
  });
  ASSERT_TRUE(eventually([&] { return calls > 2; }));

  const DWORD before = GetTickCount();
  EXPECT_TRUE(FreeLibrary(kit));
  EXPECT_LT(GetTickCount() - before, 2000u) << "FreeLibrary waited for the library's threads";
  const int at_unload = calls;
  EXPECT_TRUE(eventually([&] { return calls > at_unload + 5; })) << "the host thread's calls stopped";
  stop = true;
  host.join();

  // Loading again finds the library as it was: running, reader attached.
  HMODULE again = load_kit(CARDKIT_DLL);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again, kit) << "the library stays loaded for the rest of the process";
  serial = 0;
  EXPECT_EQ(KK_PROC(again, requestCard)(&id, &serial, 5000), 0u);
  EXPECT_EQ(serial, 0x12345678u);
  uint8_t block[16] = {};
  EXPECT_EQ(KK_PROC(again, M1_AuthAt)(0, 4, 1, kFactoryKey), 0u);
  EXPECT_EQ(KK_PROC(again, M1_ReadBlkAt)(0, 4, block), 0u);
  EXPECT_TRUE(FreeLibrary(again));

  const auto lines = log.read(true);
  EXPECT_EQ(count(lines, "dllInit"), 1u) << "the library started twice";
  EXPECT_EQ(count(lines, "devMain\tEnd"), 0u) << "a thread stopped although the library stays loaded";
}

TEST(CardkitLifetime, ProcessExitWritesTheClosingLinesOfTheEndedThreads) {
  NewLines log(cardkit_log_path());
  const std::string command = std::string("\"") + KIT_HOST + "\" cardkit-exit \"" + CARDKIT_DLL + "\"";
  EXPECT_EQ(run_process(command), 0) << "the host process failed or did not end";
  const auto lines = log.read(true);
  EXPECT_EQ(count(lines, "dllInit"), 1u);
  EXPECT_EQ(count(lines, "cardMain\tExit"), 1u) << "one card thread, one closing line";
  EXPECT_EQ(count(lines, "devMain\tEnd"), 1u);
  // The closing lines come last, after the card was seen.
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back() == "devMain\tEnd" || lines.back() == "cardMain\tExit") << lines.back();
}

// ---- notecore: unload and exit with the port open ----------------------------

TEST(NotecoreLifetime, FreeLibraryWithThePortOpenReleasesItAndLoadingAgainWorks) {
  const int com = validator_com();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first load" : "loaded again");
    HMODULE notecore = load_kit(NOTECORE_DLL);
    ASSERT_NE(notecore, nullptr) << GetLastError();
    ASSERT_EQ(KK_PROC(notecore, Voro_OpenPort)(com), 0);
    uint8_t reply[128] = {};
    int32_t length = 0;
    EXPECT_EQ(KK_PROC(notecore, Voro_Reset)(reply, &length), 0);
    EXPECT_EQ(KK_PROC(notecore, Voro_Poll)(reply, &length), 0);

    // notecore has no threads: it unloads for real, and its port closes
    // with it. (Wine does not refuse a second opener of a serial device, so
    // the port's release itself is not seen here: a port still open would
    // show in the next round, whose replies it could take.)
    const DWORD before = GetTickCount();
    EXPECT_TRUE(FreeLibrary(notecore));
    EXPECT_LT(GetTickCount() - before, 2000u);
    EXPECT_EQ(GetModuleHandleA("notecore.dll"), nullptr) << "notecore stayed loaded";
  }
}

TEST(NotecoreLifetime, ProcessExitWithThePortOpenEndsCleanly) {
  const int com = validator_com();
  const std::string command =
      std::string("\"") + KIT_HOST + "\" notecore-exit \"" + NOTECORE_DLL + "\" " + std::to_string(com);
  EXPECT_EQ(run_process(command), 0);
  HANDLE port = open_com(com);
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the port is still held after the process ended";
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

// ---- the serial port's set-up --------------------------------------------------

// Polls through `poll` until the validator reports `state` (and `detail`
// when given); every poll must succeed, since the emulator answers each.
template <typename Poll>
testing::AssertionResult poll_until(Poll poll, uint8_t state, int detail = -1) {
  uint8_t reply[128] = {};
  int32_t length = 0;
  for (int i = 0; i < 100; ++i) {
    if (poll(reply, &length) != 0)
      return testing::AssertionFailure() << "a poll failed: a reply lost bytes (poll " << i << ")";
    if (length > 0 && reply[0] == state && (detail < 0 || (length > 1 && reply[1] == detail)))
      return testing::AssertionSuccess();
    Sleep(50);
  }
  return testing::AssertionFailure() << "state " << int{state} << " never came";
}

TEST(SerialPort, RepliesWithXonAndXoffBytesArriveWholeOnAPortLeftSetUpForText) {
  const int com = validator_com();
  // Another program left the port with software flow control, error
  // replacement and null stripping on.
  {
    HANDLE port = open_com(com);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB control{};
    control.DCBlength = sizeof control;
    ASSERT_TRUE(GetCommState(port, &control));
    control.fOutX = TRUE;
    control.fInX = TRUE;
    control.XonChar = 0x11;
    control.XoffChar = 0x13;
    control.fErrorChar = TRUE;
    control.ErrorChar = '?';
    control.fNull = TRUE;
    ASSERT_TRUE(SetCommState(port, &control));
    DCB check{};
    check.DCBlength = sizeof check;
    ASSERT_TRUE(GetCommState(port, &check));
    ASSERT_TRUE(check.fOutX) << "the port did not keep software flow control: nothing to test";
    CloseHandle(port);
  }

  HMODULE notecore = load_kit(NOTECORE_DLL);
  ASSERT_NE(notecore, nullptr);
  auto poll = KK_PROC(notecore, Voro_Poll);
  ASSERT_EQ(KK_PROC(notecore, Voro_OpenPort)(com), 0);
  uint8_t reply[128] = {};
  int32_t length = 0;
  ASSERT_EQ(KK_PROC(notecore, Voro_Reset)(reply, &length), 0);
  // Initialising is state 0x13 (XOFF), reported as "02 03 06 13 D8 A0".
  EXPECT_TRUE(poll_until(poll, 0x13));
  EXPECT_TRUE(poll_until(poll, 0x19));
  // Bill type 1 held in escrow, then returned: "02 03 07 82 01 B5 11" ends
  // with the CRC byte 0x11 (XON).
  ASSERT_EQ(KK_PROC(notecore, Voro_EnableBillType)(0x02, 1, reply, &length), 0);
  ASSERT_TRUE(poll_until(poll, 0x14));
  {
    const std::string input = required_env("KIOSKKIT_TEST_VALIDATOR_INPUT");
    HANDLE feed = CreateFileA(input.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(feed, INVALID_HANDLE_VALUE) << "the emulator's input " << input;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(feed, "insert 1\n", 9, &written, nullptr));
    CloseHandle(feed);
  }
  ASSERT_TRUE(poll_until(poll, 0x80, 1));
  ASSERT_EQ(KK_PROC(notecore, Voro_Return)(reply, &length), 0);
  EXPECT_TRUE(poll_until(poll, 0x82, 1));
  (void)KK_PROC(notecore, Voro_DisableBill)(reply, &length);
  EXPECT_EQ(KK_PROC(notecore, Voro_ClosePort)(), 0);
  FreeLibrary(notecore);

  // What the kit set up stays on the port: no flow control.
  HANDLE port = open_com(com);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB control{};
  control.DCBlength = sizeof control;
  EXPECT_TRUE(GetCommState(port, &control));
  EXPECT_FALSE(control.fOutX);
  EXPECT_FALSE(control.fInX);
  CloseHandle(port);
}

// ---- drives, ports, message box ------------------------------------------------

TEST(Drives, CardkitLogsOnDriveDAsItNamesTheFile) {
  const std::string folder = required_env("KIOSKKIT_TEST_DRIVE_D_FOLDER");
  const std::string name = cardkit_log_path().substr(std::strlen("D://"));
  NewLines log(cardkit_log_path());
  NewLines seen_in_folder(folder + "\\" + name);
  HMODULE kit = load_kit(CARDKIT_DLL);
  ASSERT_NE(kit, nullptr);
  uint16_t id = 0;
  uint32_t serial = 0;
  EXPECT_EQ(KK_PROC(kit, requestCard)(&id, &serial, 20000), 0u);
  const auto lines = log.read(true);
  EXPECT_EQ(count(lines, "dllInit"), 1u);
  EXPECT_EQ(count(lines, "devMain\tStart"), 1u);
  EXPECT_EQ(seen_in_folder.read(true), lines) << "drive D is not the folder it is mapped to";
  FreeLibrary(kit);
}

TEST(Drives, CashgateLogsEachCallOnDriveC) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char path[32];
  std::snprintf(path, sizeof path, "C:\\%04d%02d%02d.txt", now.wYear, now.wMonth, now.wDay);
  NewLines log(path);
  // cashgate imports notecore, which the build keeps in a folder of its own:
  // loaded first, as a host's folder would hold both.
  HMODULE notecore = load_kit(NOTECORE_DLL);
  HMODULE cashgate = load_kit(CASHGATE_DLL);
  ASSERT_NE(cashgate, nullptr);
  EXPECT_EQ(KK_PROC(cashgate, TarnOpenPort)(99), -1);  // no COM99 here
  FreeLibrary(cashgate);
  FreeLibrary(notecore);
  const auto lines = log.read(false);
  ASSERT_EQ(lines.size(), 1u);
  // "hh:mm:ss.zzz: TarnOpenPort(99)"
  EXPECT_EQ(lines[0].size(), std::strlen("hh:mm:ss.zzz: TarnOpenPort(99)"));
  EXPECT_EQ(lines[0].substr(12), ": TarnOpenPort(99)");
}

TEST(ComPorts, AMappedPortReachesTheValidatorAndAnUnmappedOneDoesNotOpen) {
  HMODULE notecore = load_kit(NOTECORE_DLL);
  ASSERT_NE(notecore, nullptr);
  EXPECT_EQ(KK_PROC(notecore, Voro_OpenPort)(std::atoi(required_env("KIOSKKIT_TEST_UNMAPPED_COM").c_str())),
            -1);
  ASSERT_EQ(KK_PROC(notecore, Voro_OpenPort)(validator_com()), 0);
  uint8_t reply[128] = {};
  int32_t length = 0;
  ASSERT_EQ(KK_PROC(notecore, Voro_Identification)(reply, &length), 0);
  ASSERT_GE(length, 15);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 11), "KKV-EMU-100");
  EXPECT_EQ(KK_PROC(notecore, Voro_ClosePort)(), 0);
  FreeLibrary(notecore);
}

// The message box: caught as it comes up, read and dismissed.
struct SeenBox {
  int count = 0;
  std::string caption;
  std::string text;
};
SeenBox g_box;
HHOOK g_hook = nullptr;
LRESULT CALLBACK watch_boxes(int code, WPARAM wparam, LPARAM lparam) {
  const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lparam);
  if (code == HC_ACTION && message->message == WM_INITDIALOG) {
    char text[512] = {};
    GetWindowTextA(message->hwnd, text, sizeof text);
    g_box.caption = text;
    if (HWND label = GetDlgItem(message->hwnd, 0xFFFF)) {
      GetWindowTextA(label, text, sizeof text);
      g_box.text = text;
    }
    ++g_box.count;
    PostMessageA(message->hwnd, WM_COMMAND, IDOK, 0);
  }
  return CallNextHookEx(g_hook, code, wparam, lparam);
}

TEST(PatronMessageBox, AFailedConnectionShowsTheReasonInTheBox) {
  HMODULE patronlink = load_kit(PATRONLINK_DLL);
  ASSERT_NE(patronlink, nullptr) << GetLastError();
  g_hook = SetWindowsHookExA(WH_CALLWNDPROCRET, watch_boxes, nullptr, GetCurrentThreadId());
  ASSERT_NE(g_hook, nullptr);
  // Nothing listens there: the connection is refused.
  const int32_t result = KK_PROC(patronlink, ConnectDB)("kiosk", "kiosk-pass", "127.0.0.3", "kiosk");
  UnhookWindowsHookEx(g_hook);
  EXPECT_NE(result, 0);
  EXPECT_EQ(g_box.count, 1);
  EXPECT_EQ(g_box.caption, "QUILL \xCF\xFB\xCF\xA2");  // QUILL 消息, in GBK
  EXPECT_NE(g_box.text.find("127.0.0.3"), std::string::npos) << g_box.text;
  KK_PROC(patronlink, CloseDB)();
  FreeLibrary(patronlink);
}

}  // namespace
}  // namespace kk::wintest
