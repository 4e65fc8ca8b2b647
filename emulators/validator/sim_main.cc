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

constexpr const char* kUsage =
    "commands:\n"
    "  insert <type>   put a bill of bill type <type> (0-5) into the slot\n"
    "  <type>          the same\n"
    "  state           show the state, enabled and escrow bill types\n"
    "  table           show the bill table\n"
    "  fail <mode>     none | silent | header-once | header-always | crc | late\n"
    "  quiet | verbose stop / start showing every frame\n"
    "  help            this text\n"
    "  quit            stop (end of input keeps serving until interrupted)\n";

const char* state_name(kk::emu::ValidatorState state) {
  using S = kk::emu::ValidatorState;
  switch (state) {
    case S::power_up:
      return "power up";
    case S::initialising:
      return "initialising";
    case S::idling:
      return "idling";
    case S::accepting:
      return "accepting";
    case S::stacking:
      return "stacking";
    case S::returning:
      return "returning";
    case S::disabled:
      return "disabled";
    case S::holding:
      return "holding";
    case S::rejecting:
      return "rejecting";
    case S::escrow:
      return "escrow";
    case S::stacked:
      return "stacked";
    case S::returned:
      return "returned";
  }
  return "?";
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
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--init-polls") == 0 && i + 1 < argc) {
      options.initialising_polls = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--verbose] [--init-polls N]\n%s", argv[0], kUsage);
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
      std::fprintf(stderr, "%s, enabled 0x%02X, escrow 0x%02X\n", state_name(emulator.state()),
                   emulator.enabled_types(), emulator.escrow_types());
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
                     state_name(emulator.state()));
      }
    }
  }
  // Input ended (for example started with </dev/null): keep serving the host
  // until a stop signal ends the program.
  for (;;) pause();
}
