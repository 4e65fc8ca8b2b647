// The validator's serial port over a bare pseudo-terminal: line settings as
// the terminal reports them, and the read steps' codes and time-outs.
#include "notecore/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace kk::notecore {
namespace {

constexpr int32_t kPort = 11;

// A pseudo-terminal whose slave the port under test opens as COM11; the test
// writes the validator's side to the master.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    // Held open so the terminal's settings can be read back.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    setenv("KIOSKKIT_COM11", name, 1);
  }
  void TearDown() override {
    port_.close();
    unsetenv("KIOSKKIT_COM11");
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  void feed(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  termios terminal() {
    termios settings{};
    EXPECT_EQ(tcgetattr(slave_, &settings), 0);
    return settings;
  }

  int master_ = -1;
  int slave_ = -1;
  SerialPort port_;
};

TEST(SerialPortSettings, StoredSettingsMapToWhatThePortOffers) {
  using platform::Parity;
  struct Case {
    uint32_t baud;
    char parity;
    uint8_t data_bits;
    uint8_t stop_bits;
    uint32_t applied_baud;
    Parity applied_parity;
    uint8_t applied_data_bits;
    uint8_t applied_stop_bits;
  };
  const Case cases[] = {
      {9600, 'N', 8, 1, 9600, Parity::none, 8, 1},
      {14400, 'N', 8, 1, 9600, Parity::none, 8, 1},  // not offered: 9600
      {115200, 'E', 8, 1, 115200, Parity::even, 8, 1},
      {300, 'O', 7, 2, 300, Parity::odd, 7, 2},
      {56000, 'o', 5, 3, 56000, Parity::none, 8, 1},  // lower case is no parity
      {0, 'e', 9, 0, 9600, Parity::none, 8, 1},
      {128000, 'X', 6, 1, 9600, Parity::none, 8, 1},
  };
  for (const Case& c : cases) {
    SerialPort port;
    port.configure(kPort, c.baud, c.parity, c.data_bits, c.stop_bits);
    const platform::SerialSettings applied = port.line_settings();
    EXPECT_EQ(applied.baud, c.applied_baud) << c.baud;
    EXPECT_EQ(applied.parity, c.applied_parity) << c.parity;
    EXPECT_EQ(applied.data_bits, c.applied_data_bits) << int{c.data_bits};
    EXPECT_EQ(applied.stop_bits, c.applied_stop_bits) << int{c.stop_bits};
  }
}

// A pseudo-terminal keeps the rate and stop bits it is given (it forces 8
// data bits without parity, so those are checked above only).
TEST_F(PtyPort, OpenAppliesRateStopBitsAndRawMode) {
  struct Case {
    uint32_t baud;
    uint8_t stop_bits;
    speed_t speed;
    bool two_stop_bits;
  };
  const Case cases[] = {
      {9600, 1, B9600, false}, {14400, 1, B9600, false}, {115200, 2, B115200, true}, {300, 2, B300, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    port_.configure(kPort, c.baud, 'N', 8, c.stop_bits);
    ASSERT_TRUE(port_.open());
    const termios t = terminal();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two_stop_bits);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw";
    EXPECT_EQ(t.c_iflag & (IXON | ICRNL), 0u) << "no flow control or translation";
    EXPECT_TRUE(port_.close());
  }
  // A rate termios has no constant for still opens.
  port_.configure(kPort, 56000, 'N', 8, 1);
  EXPECT_TRUE(port_.open());
}

TEST_F(PtyPort, OpenOnOpenPortChangesNothing) {
  port_.configure(kPort, 9600, 'N', 8, 1);
  ASSERT_TRUE(port_.open());
  port_.configure(kPort, 115200, 'E', 7, 2);
  EXPECT_TRUE(port_.open());
  const termios t = terminal();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
}

TEST_F(PtyPort, CloseIsAlwaysTrue) {
  EXPECT_TRUE(port_.close());
  port_.configure(kPort, 9600, 'N', 8, 1);
  ASSERT_TRUE(port_.open());
  EXPECT_TRUE(port_.close());
  EXPECT_FALSE(port_.is_open());
  EXPECT_TRUE(port_.close());
}

TEST_F(PtyPort, ReadStepCodes) {
  port_.configure(kPort, 9600, 'N', 8, 1);
  ASSERT_TRUE(port_.open());
  EXPECT_EQ(port_.read_step(3), ReadCode::nothing_yet);

  feed("\x02\x03\x06");
  // The bytes reach the port through the terminal layer; wait for them.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  ReadCode code = port_.read_step(3);
  while (code == ReadCode::nothing_yet && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    code = port_.read_step(3);
  }
  ASSERT_EQ(code, ReadCode::ok);
  EXPECT_EQ(port_.received()[0], 0x02);
  EXPECT_EQ(port_.received()[2], 0x06);
}

TEST_F(PtyPort, PartialBytesTimeOutAndArePurged) {
  port_.configure(kPort, 9600, 'N', 8, 1);
  ASSERT_TRUE(port_.open());
  feed("\x11\x22");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_.wait_read(3, 5), ReadCode::timeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(4500)) << "the byte run's limit, not the 5 s wait";

  feed("\x33\x44\x55");
  ASSERT_EQ(port_.wait_read(3, 5), ReadCode::ok);
  EXPECT_EQ(port_.received()[0], 0x33) << "the partial bytes were purged";
}

TEST_F(PtyPort, SilenceTimesOutAfterTheDeadline) {
  port_.configure(kPort, 9600, 'N', 8, 1);
  ASSERT_TRUE(port_.open());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_.wait_read(3, 1), ReadCode::timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(PtyPort, MissingDeviceDoesNotOpen) {
  setenv("KIOSKKIT_COM11", "/nonexistent/pts", 1);
  port_.configure(kPort, 9600, 'N', 8, 1);
  EXPECT_FALSE(port_.open());
  EXPECT_FALSE(port_.is_open());
  EXPECT_EQ(port_.read_step(3), ReadCode::nothing_yet);
  EXPECT_FALSE(port_.write(std::array<uint8_t, 1>{0x02}));
}

TEST(SerialDevicePath, ComNumbers) {
  unsetenv("KIOSKKIT_COM1");
  EXPECT_EQ(platform::serial_device_path(1), "/dev/ttyS0");
  EXPECT_EQ(platform::serial_device_path(12), "/dev/ttyS11");
  EXPECT_EQ(platform::serial_device_path(0), "");
  EXPECT_EQ(platform::serial_device_path(-3), "");
  setenv("KIOSKKIT_COM1", "/dev/pts/42", 1);
  EXPECT_EQ(platform::serial_device_path(1), "/dev/pts/42");
  unsetenv("KIOSKKIT_COM1");
}

}  // namespace
}  // namespace kk::notecore
