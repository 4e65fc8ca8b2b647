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
#include <fstream>
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
      {"SIGINT", [](SimProcess& s) { s.signal(SIGINT); }},
      {"SIGTERM", [](SimProcess& s) { s.signal(SIGTERM); }},
      {"SIGHUP after the end of input",
       [](SimProcess& s) {
         s.close_stdin();
         EXPECT_TRUE(s.expect("standard input ended; serving until SIGINT, SIGTERM or SIGHUP"));
         EXPECT_EQ(s.wait_exit(std::chrono::milliseconds(300)), -1) << "it keeps serving";
         s.signal(SIGHUP);
       }},
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

TEST_F(ReaderSimTest, ServesOnWithoutInputAsABackgroundScriptStartsIt) {
  SimProcess sim({"--dir", folder_.readers(), "--uid", "12345678"});
  ASSERT_TRUE(sim.expect("type 'help' for commands")) << sim.output();
  sim.close_stdin();
  ASSERT_TRUE(sim.expect("standard input ended")) << sim.output();
  cardkit::DeviceManager::instance().start();
  ASSERT_TRUE(attached(1)) << sim.output();
  uint16_t id = 0;
  uint32_t serial = 0;
  EXPECT_EQ(requestCard(&id, &serial, 20000), 0u);
  EXPECT_EQ(serial, 0x12345678u);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
}

// A card presented already issued in a layout reads in the kit as it was
// given; the sector dump explains what the host then wrote.
TEST_F(ReaderSimTest, PresentsCardsIssuedInEachLayout) {
  SimProcess sim({"--dir", folder_.readers(), "--no-card"});
  ASSERT_TRUE(sim.expect("type 'help' for commands")) << sim.output();
  cardkit::DeviceManager::instance().start();
  ASSERT_TRUE(attached(1)) << sim.output();
  const std::array<uint8_t, 8> lf_key = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  ASSERT_EQ(lf_setkey_water(0, 8, lf_key.data()), 0u);
  const std::array<uint8_t, 6> water_key = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  ASSERT_EQ(water_yks_setkey(0, 9, water_key.data()), 0u);

  struct Case {
    const char* present;
    uint32_t (*read)();
    uint32_t expected;
  };
  const Case cases[] = {
      {"present 01000001 --layout lf --balance 500 --key 0123456789ABCDEF --sector 8",
       [] {
         uint32_t b = 0;
         return lf_readcard(0x01000001, &b) == 0 ? b : ~0u;
       },
       500},
      {"present 01000002 --layout lfzx --balance 65535",
       [] {
         uint32_t b = 0;
         return lfzx_readcard(0, &b) == 0 ? b : ~0u;
       },
       65535},
      {"present 01000003 --layout gsts --balance 1234",
       [] {
         uint32_t b = 0;
         return gsts_readcard(0, &b) == 0 ? b : ~0u;
       },
       1234},
      {"present 01000004 --layout gstshot --balance 7",
       [] {
         uint32_t b = 0;
         return gstshot_readcard(0, &b) == 0 ? b : ~0u;
       },
       7},
      {"present 01000005 --layout water --key A0A1A2A3A4A5 --sector 9 --balance 77",
       [] {
         uint32_t b = 0;
         return water_readcard(0, 0, &b) == 0 ? b : ~0u;
       },
       77},
      {"present 01000006 --layout lfzxdc --prefix 12 --number 345 --sequence 7 --amount 100 --counter 6",
       [] {
         uint32_t prefix = 0, number = 0, next = 0, pending = 0;
         if (lfzxdc_readcard(0x01000006, &prefix, &number) != 0 || lfzxdc_readmoney(0, &next, &pending) != 0)
           return ~0u;
         return prefix * 1000000 + number * 1000 + next * 100 + pending;  // 12, 345, 7, 100
       },
       12u * 1000000 + 345u * 1000 + 7u * 100 + 100u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.present);
    sim.send(c.present);
    ASSERT_TRUE(sim.expect("presented")) << sim.output();
    EXPECT_TRUE(eventually([&] { return c.read() == c.expected; }, seconds(20))) << sim.output();
  }

  // The dump of an lf card after the host charged it.
  sim.send("present 01000001");
  ASSERT_TRUE(eventually([] {
    uint32_t b = 0;
    return lf_charge(0x01000001, 100, &b) == 0 && b == 600;
  }));
  sim.send("dump 8");
  EXPECT_TRUE(sim.expect("32: purse 600 (valid value block")) << sim.output();
  EXPECT_TRUE(sim.expect("33: backup 600 (in step)")) << sim.output();
  sim.send("dump 8 --layout lf --sector 8 --key 0000000000000000");
  EXPECT_TRUE(sim.expect("trailer: key A is NOT the layout's")) << sim.output();

  // Mistakes are explained.
  const std::pair<const char*, const char*> mistakes[] = {
      {"present --layout nope",
       "unknown layout 'nope'; the layouts are lf, lfzx, gsts, gstshot, water, lfzxdc"},
      {"present --layout lf --colour red", "--layout lf takes --balance --key --sector, not --colour"},
      {"present --layout water --sector 9", "--key is needed: the water key"},
      {"present --layout lfzx --balance 70000", "--balance: a number from 0 to 65535 is needed"},
      {"present --layout lf --sector 20", "sector 20 is not on this card (a 1K card has sectors 0-15)"},
      {"dump 8 --layout", "dump takes a sector number, then --layout NAME"},
  };
  for (const auto& [command, answer] : mistakes) {
    sim.send(command);
    EXPECT_TRUE(sim.expect(answer)) << command << "\n" << sim.output();
  }
  sim.send("quit");
  EXPECT_EQ(sim.wait_exit(), 0);
}

TEST_F(ReaderSimTest, SavesTheCardAndPresentsItFromTheFile) {
  const std::string file = folder_.log() + "/card.txt";
  {
    SimProcess sim({"--dir", folder_.readers(), "--uid", "0A0B0C0D"});
    ASSERT_TRUE(sim.expect("type 'help' for commands")) << sim.output();
    cardkit::DeviceManager::instance().start();
    ASSERT_TRUE(attached(1)) << sim.output();
    ASSERT_TRUE(eventually([] { return gsts_initcard(0x0A0B0C0D) == 0; }));
    ASSERT_EQ(gsts_writecard(0x0A0B0C0D, 4321), 0u);
    sim.send("save " + file);
    ASSERT_TRUE(sim.expect("card 0A0B0C0D saved to " + file)) << sim.output();
    sim.send("remove");
    sim.send("present --file " + file);
    ASSERT_TRUE(sim.expect("presented (MIFARE Classic 1K, from " + file + ")")) << sim.output();
    sim.send("present --file " + folder_.log() + "/missing.txt");
    EXPECT_TRUE(sim.expect("cannot read")) << sim.output();
    sim.send("quit");
    EXPECT_EQ(sim.wait_exit(), 0);
    ASSERT_TRUE(attached(0));
  }
  // A later run starts from the recorded card.
  SimProcess sim({"--dir", folder_.readers(), "--card-file", file});
  ASSERT_TRUE(sim.expect("card 0A0B0C0D presented (MIFARE Classic 1K, from")) << sim.output();
  ASSERT_TRUE(attached(1)) << sim.output();
  EXPECT_TRUE(eventually([] {
    uint32_t b = 0;
    return gsts_readcard(0x0A0B0C0D, &b) == 0 && b == 4321;
  }));

  // A damaged file is refused with the line at fault.
  {
    std::ofstream bad(folder_.log() + "/bad.txt");
    bad << "kioskkit-card 1K 01020304\n0 00\n";
  }
  SimProcess refused(
      {"--dir", folder_.readers(), "--name", "other", "--card-file", folder_.log() + "/bad.txt"});
  EXPECT_EQ(refused.wait_exit(), 1);
  EXPECT_NE(refused.output().find("line 2: a block is 32 hex digits"), std::string::npos) << refused.output();
}

TEST_F(ReaderSimTest, VerboseModeSaysWhyTheCardRefusedABlockCommand) {
  SimProcess sim({"--dir", folder_.readers(), "--uid", "12345678", "-v"});
  ASSERT_TRUE(sim.expect("type 'help' for commands")) << sim.output();
  cardkit::DeviceManager::instance().start();
  ASSERT_TRUE(attached(1)) << sim.output();
  ASSERT_TRUE(sim.expect("host sees card 12345678")) << sim.output();
  std::array<uint8_t, 16> block{};

  // The card thread's polls select the card again and again: a read without
  // an authentication of one's own meets either cause.
  EXPECT_EQ(M1_ReadBlkAt(0, 4, block.data()), 17u);
  EXPECT_TRUE(sim.expect("read block 4 -> refused (no authentication")) << sim.output();
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 4, 1, kTransportKey.data()) == 0 && M1_ReadBlkAt(0, 8, block.data()) == 17;
  }));
  EXPECT_TRUE(sim.expect("read block 8 -> refused (authenticated for sector 1, not sector 2)"))
      << sim.output();
  ASSERT_TRUE(eventually([&] {
    return M1_AuthAt(0, 0, 1, kTransportKey.data()) == 0 && M1_WriteBlkAt(0, 0, block.data()) == 18;
  }));
  EXPECT_TRUE(sim.expect("-> refused (block 0 is the manufacturer block, never writable)")) << sim.output();
  EXPECT_EQ(M1_AuthAt(0, 4, 1, block.data()), 16u);
  EXPECT_TRUE(sim.expect("-> refused (key A does not match sector 1)")) << sim.output();

  // An issued lf sector: key A may write no part of its trailer.
  const std::array<uint8_t, 8> lf_key{};
  ASSERT_EQ(lf_setkey_water(0, 8, lf_key.data()), 0u);
  ASSERT_EQ(lf_initcard(0x12345678), 0u);
  uint8_t key[6];
  ASSERT_EQ(lf_getcardkey(0x12345678, key), 0u);
  ASSERT_TRUE(
      eventually([&] { return M1_AuthAt(0, 35, 1, key) == 0 && M1_WriteBlkAt(0, 35, block.data()) == 18; }));
  EXPECT_TRUE(sim.expect("access conditions: trailer 011: key A written with key B, access bytes with key B, key B with key B; "
                         "the session is key A"))
      << sim.output();

  // An authentication, then a card poll of the card thread (every 100 ms
  // with a card), then the read: the poll ended the authentication.
  ASSERT_EQ(M1_AuthAt(0, 4, 1, kTransportKey.data()), 0u);
  platform::sleep_ms(400);
  EXPECT_EQ(M1_ReadBlkAt(0, 4, block.data()), 17u);
  EXPECT_TRUE(
      sim.expect("read block 4 -> refused (no authentication: the authentication of sector 1 was ended by a "
                 "new card request)"))
      << sim.output();
  sim.send("quit");
  EXPECT_EQ(sim.wait_exit(), 0);
}

}  // namespace
}  // namespace kk::testing
