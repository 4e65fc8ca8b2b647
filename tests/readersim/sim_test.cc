// kioskkit-reader-sim as a separate process with its standard input on a
// pipe, against the kit's device manager in this process: the kit attaches
// the simulated reader, reads its configuration, sees its card and reads a
// block; commands on the pipe change the field, and every way of ending the
// program removes its socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "tests/reader/fixture.h"

extern char** environ;

namespace kk::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The program, running: its standard input is ours to write, its standard
// output and error are read back into one text.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    std::vector<std::string> all = {KIOSKKIT_READER_SIM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (r != 0) {
      pid_ = -1;
      throw std::runtime_error("posix_spawn");
    }
  }
  ~SimProcess() {
    close_stdin();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
  }

  void send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_stdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  void signal(int number) const { ::kill(pid_, number); }

  // Waits until `text` appears in the output after what earlier waits
  // matched; true when it did within `timeout`.
  bool expect(const std::string& text, milliseconds timeout = seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t at = output_.find(text, matched_);
      if (at != std::string::npos) {
        matched_ = at + text.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
  }

  // The exit status once the program ended, or -1 when it is still running
  // after `timeout`. Output written before the end is kept.
  int wait_exit(milliseconds timeout = seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      read_some(20);
    }
    return -1;
  }

  [[nodiscard]] const std::string& output() const { return output_; }

 private:
  bool read_some(int timeout_ms) {
    pollfd fd{stdout_, POLLIN, 0};
    if (::poll(&fd, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string output_;
  size_t matched_ = 0;
};

class ReaderSimTest : public ::testing::Test {
 protected:
  void TearDown() override { cardkit::DeviceManager::instance().stop(); }
  static bool attached(uint32_t n) {
    return eventually([n] { return readdevlist(nullptr, 0) == n; }, seconds(20));
  }
  [[nodiscard]] std::string socket_path(const std::string& name = "reader0") const {
    return folder_.readers() + "/" + name;
  }

  ReaderFolder folder_;
};

TEST_F(ReaderSimTest, TheKitAttachesTheReaderSeesItsCardsAndReadsAndWritesBlocks) {
  SimProcess sim({"--dir", folder_.readers(), "--uid", "12345678", "--device-id", "0x42", "--sectors", "3,4,5",
                  "--df-id", "LIB1"});
  ASSERT_TRUE(sim.expect("card 12345678 presented")) << sim.output();
  cardkit::DeviceManager::instance().start();
  ASSERT_TRUE(attached(1)) << sim.output();
  ASSERT_TRUE(sim.expect("host connected")) << sim.output();
  ASSERT_TRUE(sim.expect("link up")) << sim.output();
  ASSERT_TRUE(sim.expect("host read the configuration slots")) << sim.output();
  EXPECT_TRUE(eventually([&] {
    const auto lines = folder_.log_lines();
    return std::find(lines.begin(), lines.end(), "cardMain\t3\t4\t5") != lines.end();
  })) << "the layout sectors given on the command line reached the kit";

  uint16_t id = 0;
  uint32_t serial = 0;
  ASSERT_EQ(requestCard(&id, &serial, 20000), 0u);
  EXPECT_EQ(id, 0x42);
  EXPECT_EQ(serial, 0x12345678u);
  ASSERT_TRUE(sim.expect("host sees card 12345678")) << sim.output();

  // The card thread's polls select the card anew between two exports, which
  // drops an authentication; a host authenticates again then.
  std::array<uint8_t, 16> block{};
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 0, 1, kTransportKey.data()) == 0 && M1_ReadBlkAt(0, 0, block.data()) == 0;
  }));
  EXPECT_EQ(block[0], 0x12);
  EXPECT_EQ(block[3], 0x78);
  EXPECT_EQ(block[4], 0x12 ^ 0x34 ^ 0x56 ^ 0x78) << "block 0 carries the UID and its check byte";

  const std::array<uint8_t, 16> data = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 4, 1, kTransportKey.data()) == 0 && M1_WriteBlkAt(0, 4, data.data()) == 0;
  }));
  ASSERT_TRUE(sim.expect("host: write block 4 DEADBEEF000000000000000000000001 -> ok")) << sim.output();
  sim.send("dump 1");
  ASSERT_TRUE(sim.expect("   4  DE AD BE EF 00")) << sim.output();
  ASSERT_TRUE(sim.expect("trailer 001")) << sim.output();
  ASSERT_TRUE(sim.expect("block 4: read key A or B, write key A or B")) << sim.output();
  sim.send("log 5");
  ASSERT_TRUE(sim.expect("write block 4 DEADBEEF")) << sim.output();

  // Another card, then the first one again: it kept what the host wrote.
  sim.send("remove");
  ASSERT_TRUE(sim.expect("host sees the field empty")) << sim.output();
  EXPECT_TRUE(eventually([&] { return requestCard(&id, &serial, 0) == 1; }));
  sim.send("present 0a0b0c0d");
  EXPECT_TRUE(eventually([&] { return requestCard(&id, &serial, 0) == 0 && serial == 0x0A0B0C0Du; }));
  ASSERT_TRUE(sim.expect("host sees card 0A0B0C0D")) << sim.output();
  sim.send("present 12345678");
  ASSERT_TRUE(eventually([&] { return requestCard(&id, &serial, 0) == 0 && serial == 0x12345678u; }));
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 4, 1, kTransportKey.data()) == 0 && M1_ReadBlkAt(0, 4, block.data()) == 0;
  }));
  EXPECT_EQ(block, data);

  // Unplugging ends the program; the kit retires the reader.
  sim.send("unplug");
  EXPECT_EQ(sim.wait_exit(), 0) << sim.output();
  EXPECT_TRUE(attached(0));
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
}

TEST_F(ReaderSimTest, EveryWayOfEndingRemovesTheSocket) {
  struct Case {
    const char* name;
    void (*end)(SimProcess&);
  };
  const Case cases[] = {
      {"quit", [](SimProcess& s) { s.send("quit"); }},
      {"end of input", [](SimProcess& s) { s.close_stdin(); }},
      {"SIGINT", [](SimProcess& s) { s.signal(SIGINT); }},
      {"SIGTERM", [](SimProcess& s) { s.signal(SIGTERM); }},
  };
  // The folder comes from the environment here, as a host developer's shell has it.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim({"--name", "sim", "--4k", "--no-card"});
    ASSERT_TRUE(sim.expect("type 'help' for commands")) << sim.output();
    ASSERT_TRUE(std::filesystem::exists(socket_path("sim")));
    c.end(sim);
    EXPECT_EQ(sim.wait_exit(), 0) << sim.output();
    EXPECT_NE(sim.output().find("reader unplugged"), std::string::npos) << sim.output();
    EXPECT_FALSE(std::filesystem::exists(socket_path("sim")));
  }
}

TEST_F(ReaderSimTest, CommandMistakesAreExplainedAndTheReaderKeepsRunning) {
  SimProcess sim({"--no-card"});
  ASSERT_TRUE(sim.expect("the field is empty")) << sim.output();
  const std::pair<const char*, const char*> cases[] = {
      {"dump 1", "no card in the field"},
      {"remove", "the field is already empty"},
      {"present 123", "a UID is 8 hex digits"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"log", "the host has sent nothing yet"},
      {"present 01020304", "card 01020304 presented"},
      {"dump 16", "dump takes a sector number from 0 to 15"},
      {"dump 15", "sector 15 (blocks 60-63)"},
      {"status", "card 01020304 in the field"},
  };
  for (const auto& [command, answer] : cases) {
    sim.send(command);
    EXPECT_TRUE(sim.expect(answer)) << command << "\n" << sim.output();
  }
  sim.send("quit");
  EXPECT_EQ(sim.wait_exit(), 0);
}

TEST_F(ReaderSimTest, BadStartsAreRefusedWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--uid", "1234"}, "--uid: 8 hex digits are needed"},
      {{"--sectors", "1,2"}, "--sectors: three sector numbers 0-31 are needed"},
      {{"--sectors", "1,2,32"}, "--sectors: three sector numbers 0-31 are needed"},
      {{"--df-id", "TOOLONGNAME"}, "--df-id: at most 8 characters"},
      {{"--device-id", "70000"}, "--device-id: not a number from 0 to 65535"},
      {{"--name", "a/b"}, "--name: a plain file name is needed"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--dir", folder_.readers() + "/missing"}, "cannot plug the reader into"},
  };
  for (const auto& [args, reason] : cases) {
    SimProcess sim(args);
    EXPECT_NE(sim.wait_exit(), 0) << reason;
    EXPECT_NE(sim.output().find(reason), std::string::npos) << sim.output();
  }

  // Without --dir the folder must come from the environment.
  unsetenv("KIOSKKIT_READER_DIR");
  {
    SimProcess sim({});
    EXPECT_EQ(sim.wait_exit(), 2);
    EXPECT_NE(sim.output().find("give --dir DIR or set KIOSKKIT_READER_DIR"), std::string::npos) << sim.output();
  }

  // A second reader under a name already in use does not take it over.
  SimProcess first({"--dir", folder_.readers()});
  ASSERT_TRUE(first.expect("type 'help' for commands")) << first.output();
  SimProcess second({"--dir", folder_.readers()});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.output().find("already running"), std::string::npos) << second.output();
  EXPECT_TRUE(std::filesystem::exists(socket_path()));
  first.send("status");
  EXPECT_TRUE(first.expect("card 12345678 in the field")) << first.output();
}

}  // namespace
}  // namespace kk::testing
