// kioskkit-validator-sim: a bill validator for host developers without one.
// Prints the pseudo-terminal path on its first line of standard output; give
// it to the host as KIOSKKIT_COM<N> and open COM<N>. Then type commands on
// standard input, one per line (see kUsage).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "emulators/validator/validator_emulator.h"

namespace {

constexpr const char* kAbout =
    "kioskkit-validator-sim: a CCNET banknote validator on a pseudo-terminal, for running and\n"
    "testing a host application (notecore, cashgate) without a validator.\n"
    "\n"
    "Finding its port: the first line the program writes to standard output is the\n"
    "pseudo-terminal's path, for example /dev/pts/7. Start the host with that path in\n"
    "KIOSKKIT_COM<N> and let it open COM<N>:\n"
    "  KIOSKKIT_COM1=/dev/pts/7 ./host-application     (then Voro_OpenPort(1) or TarnOpenPort(1))\n"
    "The emulator serves the host until it is stopped (quit, or a stop signal).\n"
    "\n"
    "usage: kioskkit-validator-sim [--verbose] [--init-polls N] [--help]\n"
    "  --verbose       show every frame on standard error\n"
    "  --init-polls N  polls reported as initialising after power-up and reset (default 2)\n"
    "\n";

constexpr const char* kUsage =
    "commands (one per line on standard input):\n"
    "  insert <type>     put a bill of bill type <type> (0-5) into the slot\n"
    "  <type>            the same\n"
    "  reject <reason>   put a bill in that is rejected: insertion, magnetic, head (remained in\n"
    "                    the head), multiplying, conveying, identification, verification, optic,\n"
    "                    inhibited, capacity, operation, length, or a code such as 0x64\n"
    "  cheat             the bill in progress is pulled back out\n"
    "  cassette full     the drop cassette is full\n"
    "  cassette out      the drop cassette is removed\n"
    "  cassette in       the drop cassette is put back (emptied)\n"
    "  cassette jam      the drop cassette is jammed\n"
    "  jam               the validator is jammed\n"
    "  pause             the validator pauses (a second bill at the slot)\n"
    "  failure <code>    the validator fails with a sub-code: stack-motor, transport-speed,\n"
    "                    transport-motor, aligning-motor, cassette-status, optic-canal,\n"
    "                    magnetic-canal, capacitance-canal, or a code such as 0x55\n"
    "  clear             end the fault (jam, pause, failure, cassette); it goes on where it was\n"
    "  state             show what a poll reports now, and the enabled and escrow bill types\n"
    "  table             show the bill table\n"
    "  fail <mode>       damage the link: none | silent | header-once | header-always | crc | late\n"
    "  quiet | verbose   stop / start showing every frame\n"
    "  help              this text\n"
    "  quit              stop (end of input keeps serving until interrupted)\n";

void show_state(const kk::emu::ValidatorEmulator& emulator) {
  std::fprintf(stderr, "%s, enabled 0x%02X, escrow 0x%02X\n",
               kk::notecore::describe_poll(emulator.report()).c_str(), emulator.enabled_types(),
               emulator.escrow_types());
}

// Carries out one of the commands that change the validator's state (all
// but insert); false when `command` is none of them.
bool state_command(kk::emu::ValidatorEmulator& emulator, const std::string& command,
                   std::istringstream& words) {
  using kk::emu::Fault;
  std::string word;
  if (command == "reject") {
    words >> word;
    const auto reason = kk::notecore::parse_code(kk::notecore::reject_reason_names(), word);
    if (!reason) {
      std::fprintf(stderr, "reject: a reason (see help) or a code such as 0x64\n");
    } else if (!emulator.reject_bill(*reason)) {
      std::fprintf(stderr, "no bill taken: the validator is not idling\n");
    }
  } else if (command == "cheat") {
    if (!emulator.cheat()) std::fprintf(stderr, "no bill in the validator to pull back\n");
  } else if (command == "cassette") {
    words >> word;
    if (word == "full") {
      emulator.set_fault(Fault::cassette_full);
    } else if (word == "out") {
      emulator.set_fault(Fault::cassette_removed);
    } else if (word == "jam") {
      emulator.set_fault(Fault::cassette_jammed);
    } else if (word == "in") {
      const Fault now = emulator.fault();
      if (now == Fault::cassette_removed || now == Fault::cassette_full) emulator.set_fault(Fault::none);
    } else {
      std::fprintf(stderr, "cassette: full | out | in | jam\n");
    }
  } else if (command == "jam") {
    emulator.set_fault(Fault::validator_jammed);
  } else if (command == "pause") {
    emulator.set_fault(Fault::paused);
  } else if (command == "failure") {
    words >> word;
    const auto code = kk::notecore::parse_code(kk::notecore::failure_code_names(), word);
    if (code) {
      emulator.set_fault(Fault::failure, *code);
    } else {
      std::fprintf(stderr, "failure: a sub-code (see help) or a code such as 0x55\n");
    }
  } else if (command == "clear") {
    emulator.set_fault(Fault::none);
  } else {
    return false;
  }
  return true;
}

bool parse_failure(const std::string& word, kk::emu::Failure& failure) {
  using F = kk::emu::Failure;
  const std::pair<const char*, F> modes[] = {{"none", F::none},
                                             {"silent", F::silent},
                                             {"header-once", F::bad_header_once},
                                             {"header-always", F::bad_header_always},
                                             {"crc", F::bad_crc},
                                             {"late", F::late_body}};
  for (const auto& [name, mode] : modes) {
    if (word == name) {
      failure = mode;
      return true;
    }
  }
  return false;
}

void print_frame(bool from_host, std::span<const uint8_t> frame) {
  std::string line = from_host ? "host ->" : "    <-";
  char hex[4];
  for (const uint8_t byte : frame) {
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  kk::emu::ValidatorEmulator::Options options;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("%s%s", kAbout, kUsage);
      return 0;
    }
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--init-polls") == 0 && i + 1 < argc) {
      options.initialising_polls = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\nusage: %s [--verbose] [--init-polls N] [--help]\n",
                   argv[0], argv[i], argv[0]);
      return 2;
    }
  }

  // Block the stop signals before the emulator's thread starts, so that only
  // the final sigwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  kk::emu::ValidatorEmulator emulator(options);
  if (!emulator.start()) {
    std::fprintf(stderr, "no pseudo-terminal available\n");
    return 1;
  }
  if (verbose) emulator.set_observer(print_frame);
  std::printf("%s\n", emulator.device_path().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "validator on %s: set KIOSKKIT_COM<N>=%s and open COM<N>\n%s",
               emulator.device_path().c_str(), emulator.device_path().c_str(), kUsage);

  // A stop signal ends the program whenever it comes, also while it waits
  // for a line of input.
  std::thread signal_taker([stop_signals] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    // Only the output streams: the main thread may hold standard input's
    // lock while it waits for a line.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
  });
  signal_taker.detach();

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    if (!(words >> command)) continue;
    if (command == "quit" || command == "exit") return 0;
    if (command == "help") {
      std::fprintf(stderr, "%s", kUsage);
    } else if (command == "state") {
      show_state(emulator);
    } else if (state_command(emulator, command, words)) {
      show_state(emulator);
    } else if (command == "table") {
      const auto& table = kk::emu::ValidatorEmulator::bill_table();
      for (size_t type = 0; type < table.size(); ++type) {
        if (table[type].digit == 0) continue;
        long value = table[type].digit;
        for (int i = 0; i < table[type].power_of_ten; ++i) value *= 10;
        std::fprintf(stderr, "  type %zu: %ld %.3s\n", type, value, table[type].currency);
      }
    } else if (command == "fail") {
      std::string mode;
      kk::emu::Failure failure{};
      if (words >> mode && parse_failure(mode, failure)) {
        emulator.set_failure(failure);
      } else {
        std::fprintf(stderr, "fail: none | silent | header-once | header-always | crc | late\n");
      }
    } else if (command == "quiet" || command == "verbose") {
      emulator.set_observer(command == "verbose" ? print_frame : nullptr);
    } else {
      std::string type_text = command;
      if (command == "insert" && !(words >> type_text)) type_text.clear();
      char* end = nullptr;
      const long type = std::strtol(type_text.c_str(), &end, 10);
      if (type_text.empty() || *end != '\0' || type < 0 || type > 255) {
        std::fprintf(stderr, "unknown command; type help\n");
      } else if (emulator.insert_bill(static_cast<uint8_t>(type))) {
        std::fprintf(stderr, "bill type %ld taken in\n", type);
      } else {
        std::fprintf(stderr, "bill type %ld not taken (validator %s, or no such type)\n", type,
                     kk::notecore::describe_poll(emulator.report()).c_str());
      }
    }
  }
  // Input ended (for example started with </dev/null): keep serving the host
  // until a stop signal ends the program.
  for (;;) pause();
}
