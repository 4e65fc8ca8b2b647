// kioskkit-validator-sim as a process: the pseudo-terminal it prints works
// as a COM port for notecore, a bill, a rejection or a fault typed on its
// input reaches the host's polls, --help tells what it is and how to find
// its port, and a stop signal ends it whether or not it is waiting for input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

#include "notecore.h"

namespace {

class SimProgram {
 public:
  SimProgram() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* const argv[] = {const_cast<char*>(VALIDATOR_SIM), nullptr};
    if (posix_spawn(&pid_, VALIDATOR_SIM, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    // The first line of output is the pseudo-terminal's path.
    char c;
    while (read(output_, &c, 1) == 1 && c != '\n') port_ += c;
  }
  ~SimProgram() {
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  [[nodiscard]] const std::string& port() const { return port_; }
  void type(const std::string& line) {
    ASSERT_EQ(write(input_, line.data(), line.size()), ssize_t(line.size()));
  }
  void end_input() {
    close(input_);
    input_ = -1;
  }
  // Sends `signal` and waits (5 s at most) for the program to end.
  bool stopped_by(int signal) {
    kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string port_;
  bool ended_ = false;
};

// Polls until the validator reports `state`; false after 10 s (the program
// takes a typed line in its own time, and a poll takes well under that).
bool poll_until(uint8_t state) {
  std::array<uint8_t, 128> buf{};
  int32_t len = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Voro_Poll(buf.data(), &len) == 0 && len > 0 && buf[0] == state) return true;
  }
  return false;
}

// Polls until the validator reports exactly `reply`; false after 10 s.
bool poll_until_reply(std::initializer_list<uint8_t> reply) {
  std::array<uint8_t, 128> buf{};
  int32_t len = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Voro_Poll(buf.data(), &len) == 0 &&
        std::equal(reply.begin(), reply.end(), buf.begin(), buf.begin() + len))
      return true;
  }
  return false;
}

TEST(ValidatorSimProgram, ItsTerminalServesNotecoreAndTakesTypedBills) {
  SimProgram sim;
  ASSERT_EQ(sim.port().rfind("/dev/pts/", 0), 0u) << sim.port();
  setenv("KIOSKKIT_COM5", sim.port().c_str(), 1);
  ASSERT_EQ(Voro_OpenPort(5), 0);
  std::array<uint8_t, 128> buf{};
  int32_t len = 0;
  ASSERT_EQ(Voro_Reset(buf.data(), &len), 0);
  ASSERT_TRUE(poll_until(0x19)) << "disabled after initialising";
  ASSERT_EQ(Voro_EnableBillType(0x3F, 0, buf.data(), &len), 0);
  ASSERT_TRUE(poll_until(0x14)) << "idling once bills are enabled";
  sim.type("insert 2\n");
  ASSERT_TRUE(poll_until(0x81)) << "the typed bill is stacked";
  EXPECT_EQ(Voro_ClosePort(), 0);
  unsetenv("KIOSKKIT_COM5");
  EXPECT_TRUE(sim.stopped_by(SIGTERM));
}

TEST(ValidatorSimProgram, TypedRejectionsFaultsAndCheatsReachThePolls) {
  SimProgram sim;
  setenv("KIOSKKIT_COM5", sim.port().c_str(), 1);
  ASSERT_EQ(Voro_OpenPort(5), 0);
  std::array<uint8_t, 128> buf{};
  int32_t len = 0;
  ASSERT_EQ(Voro_EnableBillType(0x3F, 0, buf.data(), &len), 0);
  ASSERT_TRUE(poll_until(0x14));

  const struct {
    const char* line;
    std::initializer_list<uint8_t> reply;
  } steps[] = {
      {"reject 0x64\n", {0x1C, 0x64}},
      {"", {0x14}},
      {"reject head\n", {0x1C, 0x62}},
      {"", {0x14}},
      {"cassette full\n", {0x41}},
      {"cassette in\n", {0x14}},
      {"cassette out\n", {0x42}},
      {"cassette in\n", {0x14}},
      {"cassette jam\n", {0x44}},
      {"clear\n", {0x14}},
      {"jam\n", {0x43}},
      {"clear\n", {0x14}},
      {"pause\n", {0x46}},
      {"clear\n", {0x14}},
      {"failure 0x55\n", {0x47, 0x55}},
      {"failure stack-motor\n", {0x47, 0x50}},
      {"clear\n", {0x14}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.line);
    sim.type(step.line);
    EXPECT_TRUE(poll_until_reply(step.reply));
  }
  // A bill pulled back out while it is drawn in: cheated, never stacked.
  // (Enabled with escrow, so the bill waits in escrow for the cheat.)
  ASSERT_EQ(Voro_EnableBillType(0x3F, 1, buf.data(), &len), 0);
  sim.type("insert 1\n");
  ASSERT_TRUE(poll_until_reply({0x80, 0x01}));
  sim.type("cheat\n");
  EXPECT_TRUE(poll_until_reply({0x45}));
  EXPECT_TRUE(poll_until_reply({0x14}));
  EXPECT_EQ(Voro_ClosePort(), 0);
  unsetenv("KIOSKKIT_COM5");
  EXPECT_TRUE(sim.stopped_by(SIGTERM));
}

TEST(ValidatorSimProgram, HelpSaysWhatItIsAndHowAHostFindsItsPort) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* const argv[] = {const_cast<char*>(VALIDATOR_SIM), const_cast<char*>("--help"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, VALIDATOR_SIM, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char chunk[512];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const char* part : {"banknote validator", "pseudo-terminal", "first line", "KIOSKKIT_COM", "reject",
                           "cassette out", "failure <code>", "jam", "cheat", "pause", "clear"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
}

TEST(ValidatorSimProgram, StopSignalEndsItWhileItWaitsForInput) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SimProgram sim;
    ASSERT_FALSE(sim.port().empty());
    EXPECT_TRUE(sim.stopped_by(signal)) << "signal " << signal;
  }
}

TEST(ValidatorSimProgram, EndOfInputKeepsServingUntilAStopSignal) {
  SimProgram sim;
  sim.end_input();
  setenv("KIOSKKIT_COM6", sim.port().c_str(), 1);
  ASSERT_EQ(Voro_OpenPort(6), 0);
  std::array<uint8_t, 128> buf{};
  int32_t len = 0;
  EXPECT_EQ(Voro_Reset(buf.data(), &len), 0) << "still answering after its input ended";
  EXPECT_EQ(Voro_ClosePort(), 0);
  unsetenv("KIOSKKIT_COM6");
  EXPECT_TRUE(sim.stopped_by(SIGTERM));
}

}  // namespace
