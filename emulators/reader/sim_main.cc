// kioskkit-reader-sim: the emulated card reader as a program for people who
// develop a host application without hardware. It plugs one reader into the
// folder the kit watches (KIOSKKIT_READER_DIR), holds a blank MIFARE Classic
// card in its field, and takes simple commands on standard input, one per
// line: present or remove a card (blank, issued in one of the kit's card
// layouts, or loaded from a file), dump a sector (explained as a layout),
// save the card to a file, show what the host sent, unplug. It tells in
// plain words what happens on the link (host connected, link up, card seen,
// block written, a command refused and why) and removes its socket when it
// ends, by command, SIGINT, SIGTERM or SIGHUP. When standard input ends it
// keeps serving, so it can run in the background of a script.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "emulators/mifare/card_file.h"
#include "emulators/reader/emulated_reader.h"
#include "emulators/reader/sim_layouts.h"

namespace kk::emu {
namespace {

constexpr const char* kProgram = "kioskkit-reader-sim";
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// Commands kept for `log`: a few minutes of card polls, compacted on display.
constexpr size_t kLogLimit = 4000;

constexpr const char* kUsage =
    "usage: kioskkit-reader-sim [options]\n"
    "\n"
    "Plugs an emulated card reader into the folder the kit watches and reads\n"
    "commands from standard input (type 'help' once it runs).\n"
    "\n"
    "  --dir DIR              folder of emulated readers (default: $KIOSKKIT_READER_DIR)\n"
    "  --name NAME            socket name in that folder (default: reader0)\n"
    "  --tcp                  listen on a loopback TCP port and write NAME.tcp instead\n"
    "  --uid HEX              UID of the card in the field, 8 hex digits (default: 12345678)\n"
    "  --4k                   the card is a MIFARE Classic 4K (default: 1K)\n"
    "  --no-card              start with an empty field\n"
    "  --card-file FILE       start with the card saved in FILE (see 'save')\n"
    "  --device-id N          device id the reader answers with (default: 0)\n"
    "  --df-id TEXT           configuration slot 1: DF identifier, up to 8 characters\n"
    "  --df-version N         configuration slot 1: DF version (default: 0)\n"
    "  --sectors A,B,C        configuration slot 2: the three layout sectors (0-31)\n"
    "  --transport-key HEX    configuration slot 3: card transport key, 16 hex digits\n"
    "  --transport-key-version N   configuration slot 3: its version (default: 0)\n"
    "  --report-delay-us N    pause before each report in each direction\n"
    "                         (1000 models a full-speed USB interrupt endpoint)\n"
    "  -v, --verbose          report every command but the card polls, and why\n"
    "                         the card refused one\n"
    "  -h, --help             this text\n";

std::string help_text() {
  return "commands:\n"
         "  present [UID]   put a card in the field: the last one, or the card with\n"
         "                  this UID (a card keeps its memory while the program runs)\n"
         "  present [UID] --layout NAME [OPTIONS]\n"
         "                  put a card already issued in a card layout of the kit in\n"
         "                  the field (a blank card first if the UID is new):\n" +
         sim_layout_usage() +
         "  present --file FILE\n"
         "                  put the card saved in FILE in the field\n"
         "  remove          take the card out of the field\n"
         "  dump SECTOR [--layout NAME [OPTIONS]]\n"
         "                  a sector of the card in the field, in hex, with its access\n"
         "                  conditions explained, and its blocks read as the layout\n"
         "                  (by default the one the card was presented with)\n"
         "  save FILE       write the card in the field to FILE\n"
         "  log [N]         the last N commands the host sent (default 30), repeats folded\n"
         "  status          what the reader holds and who is connected\n"
         "  unplug          unplug the reader from the host and exit\n"
         "  help            this text\n"
         "  quit            exit (the reader is unplugged too)\n";
}

// Everything this program prints goes through here: the emulator's thread
// and the command loop both report, and a line must not tear.
class Console {
 public:
  void say(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex mutex_;
};

std::string hex(std::span<const uint8_t> bytes, const char* separator = "") {
  std::string text;
  char two[3];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += separator;
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    text += two;
  }
  return text;
}

std::string serial_text(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// Hex digits (colons and spaces between bytes allowed) into exactly
// `bytes.size()` bytes.
bool parse_hex(std::string_view text, std::span<uint8_t> bytes) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  std::string digits;
  for (const char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() != bytes.size() * 2) return false;
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  return true;
}

// A whole unsigned number (decimal, or hex with 0x) no larger than `max`.
std::optional<uint32_t> parse_number(std::string_view text, uint32_t max) {
  if (text.empty()) return std::nullopt;
  const std::string s(text);
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || end != s.c_str() + s.size() || s[0] == '-' || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

struct Options {
  std::string folder;
  std::string name = "reader0";
  Carrier carrier = Carrier::unix_socket;
  Uid uid = {0x12, 0x34, 0x56, 0x78};
  CardType type = CardType::classic_1k;
  bool card = true;
  uint16_t device_id = 0;
  std::optional<std::string> df_id;
  uint32_t df_version = 0;
  std::optional<std::array<uint8_t, 3>> sectors;
  std::optional<std::array<uint8_t, 8>> transport_key;
  uint32_t transport_key_version = 0;
  std::chrono::microseconds report_delay{0};
  bool verbose = false;
  std::optional<std::string> card_file;
};

struct UsageError {
  std::string message;
};

Options parse_options(int argc, char** argv) {
  Options o;
  bool slot1 = false;
  bool slot3 = false;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= args.size()) throw UsageError{std::string(arg) + " needs a value"};
      return args[++i];
    };
    auto number = [&](uint32_t max) {
      const std::string_view v = value();
      const auto n = parse_number(v, max);
      if (!n) throw UsageError{std::string(arg) + ": not a number from 0 to " + std::to_string(max) + ": '" +
                               std::string(v) + "'"};
      return *n;
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--dir") {
      o.folder = value();
    } else if (arg == "--name") {
      o.name = value();
      if (o.name.empty() || o.name.find('/') != std::string::npos || o.name[0] == '.')
        throw UsageError{"--name: a plain file name is needed, got '" + o.name + "'"};
    } else if (arg == "--tcp") {
      o.carrier = Carrier::tcp;
    } else if (arg == "--uid") {
      const std::string_view v = value();
      if (!parse_hex(v, o.uid)) throw UsageError{"--uid: 8 hex digits are needed, got '" + std::string(v) + "'"};
    } else if (arg == "--4k") {
      o.type = CardType::classic_4k;
    } else if (arg == "--no-card") {
      o.card = false;
    } else if (arg == "--card-file") {
      o.card_file = std::string(value());
    } else if (arg == "--device-id") {
      o.device_id = static_cast<uint16_t>(number(0xFFFF));
    } else if (arg == "--df-id") {
      o.df_id = std::string(value());
      if (o.df_id->size() > 8) throw UsageError{"--df-id: at most 8 characters, got '" + *o.df_id + "'"};
      slot1 = true;
    } else if (arg == "--df-version") {
      o.df_version = number(0xFFFFFFFF);
      slot1 = true;
    } else if (arg == "--sectors") {
      const std::string v(value());
      std::array<uint8_t, 3> sectors{};
      std::istringstream in(v);
      std::string part;
      size_t count = 0;
      while (std::getline(in, part, ',')) {
        const auto n = parse_number(part, 31);
        if (!n || count == 3) throw UsageError{"--sectors: three sector numbers 0-31 are needed, got '" + v + "'"};
        sectors[count++] = static_cast<uint8_t>(*n);
      }
      if (count != 3) throw UsageError{"--sectors: three sector numbers 0-31 are needed, got '" + v + "'"};
      o.sectors = sectors;
    } else if (arg == "--transport-key") {
      const std::string_view v = value();
      std::array<uint8_t, 8> key{};
      if (!parse_hex(v, key)) throw UsageError{"--transport-key: 16 hex digits are needed, got '" + std::string(v) + "'"};
      o.transport_key = key;
      slot3 = true;
    } else if (arg == "--transport-key-version") {
      o.transport_key_version = number(0xFFFFFFFF);
      slot3 = true;
    } else if (arg == "--report-delay-us") {
      o.report_delay = std::chrono::microseconds(number(10'000'000));
    } else if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
    } else {
      throw UsageError{"unknown option '" + std::string(arg) + "'"};
    }
  }
  if (o.folder.empty()) {
    const char* env = std::getenv("KIOSKKIT_READER_DIR");
    if (env == nullptr || *env == '\0')
      throw UsageError{"no reader folder: give --dir DIR or set KIOSKKIT_READER_DIR"};
    o.folder = env;
  }
  if (slot1 && !o.df_id) o.df_id = std::string();
  if (slot3 && !o.transport_key) o.transport_key = std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return o;
}

// True when a live server already listens on the Unix socket `path`: the
// emulator would otherwise take the name over from a running reader.
bool socket_in_use(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return live;
}

// The sector in hex, then what its trailer allows, group by group, in words.
std::string explain_sector(const Card& card, unsigned sector) {
  std::string text = card.dump_sector(sector);
  const Block trailer = card.raw_block(trailer_block_of_sector(sector));
  const auto conditions = decode_access_bytes(std::span<const uint8_t, 3>(trailer.data() + 6, 3));
  if (!conditions) return text;
  const unsigned first = first_block_of_sector(sector);
  const unsigned per_group = blocks_in_sector(sector) == 4 ? 1 : 5;
  for (unsigned g = 0; g < 3; ++g) {
    const DataPermissions p = data_permissions(conditions->group[g]);
    const unsigned from = first + g * per_group;
    const std::string blocks = per_group == 1 ? "block " + std::to_string(from)
                                              : "blocks " + std::to_string(from) + "-" +
                                                    std::to_string(from + per_group - 1);
    text += "     " + blocks + ": read " + keys_name(p.read) + ", write " + keys_name(p.write) +
            ", increment " + keys_name(p.increment) + ", decrement/transfer/restore " +
            keys_name(p.decrement) + "\n";
  }
  const TrailerPermissions t = trailer_permissions(conditions->group[3]);
  text += std::string("     trailer: key A written with ") + keys_name(t.key_a_write) + "; access bits read with " +
          keys_name(t.access_read) + ", written with " + keys_name(t.access_write) + "; key B read with " +
          keys_name(t.key_b_read) + ", written with " + keys_name(t.key_b_write) + "\n";
  if (key_b_readable(conditions->group[3]))
    text += "     key B is readable here, so it serves as data, not as a key\n";
  return text;
}

// One command in a few words, as `log` shows it and verbose mode reports it.
std::string describe(const DecodedCommand& c) {
  std::string text;
  if (c.packet_type == 0x8081) {
    text = c.frame.size() == 2 ? "set device id " + std::to_string(load_u16_be(c.frame.data()))
                               : "set device id (malformed)";
  } else if (c.frame.size() < 9) {
    text = "undecodable frame";
  } else {
    const auto data = std::span(c.frame).subspan(9);
    switch (c.code()) {
      case 0x00:
        text = "hello";
        break;
      case 0x01:
        text = "card request";
        if (c.answered) text += c.status != 0 ? " -> card" : " -> no card";
        break;
      case 0x16:
        text = "sound/light";
        if (data.size() >= 8)
          text += " " + std::to_string(load_u32_be(&data[0])) + " " + std::to_string(load_u32_be(&data[4]));
        break;
      case 0x22:
        text = "read configuration slot " + std::to_string(c.sub());
        break;
      case 0x23:
        text = "write configuration slot " + std::to_string(c.sub());
        if (data.size() >= 16) text += " " + hex(data.first(16));
        break;
      case 0x14:
        if (c.sub() == 1) {
          text = "authenticate block " + std::to_string(c.param1()) + " with key " + (c.param2() == 1 ? "A" : "B");
          if (data.size() >= 6) text += " " + hex(data.first(6));
        } else if (c.sub() == 2) {
          text = "read block " + std::to_string(c.param1());
        } else if (c.sub() == 3) {
          text = "write block " + std::to_string(c.param1());
          if (data.size() >= 16) text += " " + hex(data.first(16));
        } else {
          text = "MIFARE sub-command " + std::to_string(c.sub());
        }
        if (c.answered && c.sub() >= 1 && c.sub() <= 3) text += c.status != 0 ? " -> ok" : " -> refused";
        break;
      default: {
        char code[48];
        std::snprintf(code, sizeof code, "unknown command 0x%02X sub %u", c.code(), c.sub());
        text = code;
      }
    }
  }
  if (!c.token_ok) text += " (stale link token: refused)";
  if (!c.answered) text += " (not answered)";
  return text;
}

// The last `count` commands, runs of the same line folded into one.
std::string compact_log(const std::vector<DecodedCommand>& commands, size_t count) {
  std::vector<std::pair<std::string, size_t>> lines;
  for (const auto& c : commands) {
    std::string line = describe(c);
    if (!lines.empty() && lines.back().first == line) {
      ++lines.back().second;
    } else {
      lines.emplace_back(std::move(line), 1);
    }
  }
  if (lines.empty()) return "the host has sent nothing yet\n";
  std::string text;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    text += "  " + lines[i].first;
    if (lines[i].second > 1) text += "  (x" + std::to_string(lines[i].second) + ")";
    text += "\n";
  }
  return text;
}

// Follows the link from the emulator's thread and says what a person wants
// to know: who connected, whether the link came up, when the host first saw
// a card or the empty field, and what it changed.
class Narrator {
 public:
  Narrator(Console& console, bool verbose) : console_(console), verbose_(verbose) {}

  void connection(bool connected) {
    {
      std::lock_guard lock(mutex_);
      seen_serial_.reset();
      seen_empty_ = false;
    }
    console_.say(connected ? "host connected" : "host disconnected");
  }

  void command(const DecodedCommand& c) {
    if (!c.answered) {
      console_.say("host: " + describe(c));
      return;
    }
    if (!c.token_ok) {
      console_.say("host sent a stale link token; command refused: " + describe(c));
      return;
    }
    if (c.packet_type == 0x8081) {
      console_.say(c.frame.size() == 2 ? "host set the device id to " + std::to_string(load_u16_be(c.frame.data()))
                                       : "host: " + describe(c));
      return;
    }
    switch (c.code()) {
      case 0x00:
        console_.say(c.status != 0 ? "host greeted the reader: link up" : "host greeted the reader with a wrong link key");
        return;
      case 0x01:
        card_poll(c);
        return;
      case 0x22:
        if (c.sub() == 3) console_.say("host read the configuration slots");
        else if (verbose_) console_.say("host: " + describe(c));
        return;
      case 0x14:
        // Refusals and writes always matter to someone developing a host
        // application; successful reads and authentications only in verbose.
        if (c.sub() == 3 || c.status == 0 || verbose_) {
          std::string text = "host: " + describe(c);
          if (verbose_ && c.answered && c.status == 0 && !c.refusal.empty()) text += " (" + c.refusal + ")";
          console_.say(text);
        }
        return;
      default:
        console_.say("host: " + describe(c));
    }
  }

 private:
  void card_poll(const DecodedCommand& c) {
    std::string line;
    {
      std::lock_guard lock(mutex_);
      if (c.status != 0) {
        // The serial is the one the card answered with; the reply is
        // encrypted in the log, so the reader's field says which card.
        seen_empty_ = false;
        if (!seen_serial_ || *seen_serial_ != field_serial_) {
          seen_serial_ = field_serial_;
          line = "host sees card " + serial_text(field_serial_);
        }
      } else if (!seen_empty_) {
        seen_empty_ = true;
        if (seen_serial_) line = "host sees the field empty";
        seen_serial_.reset();
      }
    }
    if (!line.empty()) console_.say(line);
  }

 public:
  // The serial of the card now in the field (set before it is presented).
  void set_field_serial(uint32_t serial) {
    std::lock_guard lock(mutex_);
    field_serial_ = serial;
  }

 private:
  Console& console_;
  const bool verbose_;
  std::mutex mutex_;
  std::optional<uint32_t> seen_serial_;
  bool seen_empty_ = false;
  uint32_t field_serial_ = 0;
};

class Simulator {
 public:
  Simulator(const Options& options, Console& console)
      : options_(options), console_(console), narrator_(console, options.verbose) {}

  // Plugs the reader in; throws std::system_error when its socket cannot be made.
  void plug() {
    ReaderEmulatorOptions transport;
    transport.folder = options_.folder;
    transport.name = options_.name;
    transport.carrier = options_.carrier;
    reader_ = std::make_unique<EmulatedReader>(transport, options_.device_id);
    reader_->set_log_limit(kLogLimit);
    if (options_.df_id) reader_->set_slot(1, df_slot(options_.df_version, *options_.df_id));
    if (options_.sectors) reader_->set_slot(2, sectors_slot((*options_.sectors)[0], (*options_.sectors)[1], (*options_.sectors)[2]));
    if (options_.transport_key) reader_->set_slot(3, transport_key_slot(options_.transport_key_version, *options_.transport_key));
    reader_->set_report_delay(options_.report_delay);
    reader_->set_request_report_delay(options_.report_delay);
    reader_->transport().set_connection_observer([this](bool connected) { narrator_.connection(connected); });
    reader_->set_command_observer([this](const DecodedCommand& c) { narrator_.command(c); });
    last_uid_ = options_.uid;

    console_.say("reader plugged in at " + reader_->transport().path() + " (device id " +
                 std::to_string(options_.device_id) + ")");
    if (options_.card_file) {
      if (!present_file(*options_.card_file)) throw std::runtime_error("no card from " + *options_.card_file);
    } else if (options_.card) {
      present(options_.uid);
    } else {
      console_.say("the field is empty");
    }
    console_.say("type 'help' for commands");
  }

  void unplug() {
    if (!reader_) return;
    reader_->unplug();
    console_.say("reader unplugged");
    reader_.reset();
  }

  // Runs one input line; false when the program is to end.
  bool run(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) return true;
    const std::string verb = words[0];
    const std::vector<std::string> args(words.begin() + 1, words.end());
    const std::string arg = args.empty() ? std::string() : args[0];
    const bool simple = verb != "present" && verb != "p" && verb != "dump" && verb != "d";
    if (simple && args.size() > 1) {
      console_.say("too many words; type 'help'");
      return true;
    }
    if (verb == "present" || verb == "p") {
      present_command(args);
    } else if (verb == "remove" || verb == "r") {
      if (!reader_->card()) {
        console_.say("the field is already empty");
      } else {
        reader_->remove_card();
        console_.say("card " + serial_text(current_serial_) + " removed");
      }
    } else if (verb == "dump" || verb == "d") {
      dump(args);
    } else if (verb == "save") {
      save(arg);
    } else if (verb == "log" || verb == "l") {
      const auto count = arg.empty() ? std::optional<uint32_t>(30) : parse_number(arg, 100000);
      if (!count || *count == 0) {
        console_.say("log takes a count, like 'log 50'");
        return true;
      }
      console_.say(compact_log(reader_->commands(), *count));
    } else if (verb == "status" || verb == "s") {
      status();
    } else if (verb == "unplug") {
      return false;
    } else if (verb == "help" || verb == "h" || verb == "?") {
      console_.say(help_text());
    } else if (verb == "quit" || verb == "q" || verb == "exit") {
      return false;
    } else {
      console_.say("unknown command '" + verb + "'; type 'help'");
    }
    return true;
  }

  // Puts the card saved in `path` in the field; false (said why) when it
  // cannot be read.
  bool present_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      console_.say("cannot read '" + path + "': " + std::strerror(errno));
      return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    auto card = card_from_text(text, error);
    if (!card) {
      console_.say("'" + path + "' is not a card file: " + error);
      return false;
    }
    const uint32_t serial = card->serial();
    cards_[serial] = card;
    layouts_.erase(serial);
    show(card, "from " + path);
    return true;
  }

 private:
  // A layout a card was presented with, to explain its sectors by default.
  struct PresentedLayout {
    const SimLayout* layout;
    LayoutOptions options;
  };

  // "present [UID] [--layout NAME OPTIONS...]" and "present --file FILE".
  void present_command(const std::vector<std::string>& args) {
    size_t i = 0;
    Uid uid = last_uid_;
    if (!args.empty() && args[0] == "--file") {
      if (args.size() != 2) {
        console_.say("present --file takes one file name");
        return;
      }
      present_file(args[1]);
      return;
    }
    if (i < args.size() && !args[i].starts_with("--")) {
      if (!parse_hex(args[i], uid)) {
        console_.say("a UID is 8 hex digits, like 12345678");
        return;
      }
      ++i;
    }
    if (i == args.size()) {
      present(uid);
      return;
    }
    if (args[i] != "--layout" || i + 1 >= args.size()) {
      console_.say("present takes a UID, then --layout NAME and its options, or --file FILE; type 'help'");
      return;
    }
    const SimLayout* layout = find_sim_layout(args[i + 1]);
    if (layout == nullptr) {
      console_.say("unknown layout '" + args[i + 1] + "'; the layouts are " + sim_layout_names());
      return;
    }
    const uint32_t serial = load_u32_be(uid.data());
    try {
      const LayoutOptions options = parse_layout_options(*layout, {args.begin() + static_cast<std::ptrdiff_t>(i + 2), args.end()});
      auto& card = cards_[serial];
      if (!card) card = std::make_shared<Card>(options_.type, uid);
      layout->issue(*card, options);
      layouts_[serial] = {layout, options};
      present(uid, std::string("issued as ") + layout->name);
    } catch (const LayoutError& e) {
      console_.say(e.what());
    }
  }

  void present(const Uid& uid, const std::string& how = "") {
    const uint32_t serial = load_u32_be(uid.data());
    auto& card = cards_[serial];
    if (!card) card = std::make_shared<Card>(options_.type, uid);
    show(card, how);
  }

  void show(const std::shared_ptr<Card>& card, const std::string& how) {
    const uint32_t serial = card->serial();
    narrator_.set_field_serial(serial);
    reader_->present(card);
    last_uid_ = card->uid();
    current_serial_ = serial;
    console_.say("card " + serial_text(serial) + " presented (MIFARE Classic " +
                 (card->type() == CardType::classic_1k ? "1K" : "4K") + (how.empty() ? "" : ", " + how) + ")");
  }

  void dump(const std::vector<std::string>& args) {
    const auto card = reader_->card();
    if (!card) {
      console_.say("no card in the field");
      return;
    }
    const auto sector = args.empty() ? std::nullopt : parse_number(args[0], sector_count(card->type()) - 1);
    if (!sector) {
      console_.say("dump takes a sector number from 0 to " + std::to_string(sector_count(card->type()) - 1));
      return;
    }
    std::string text = explain_sector(*card, *sector);
    try {
      std::optional<PresentedLayout> as;
      if (args.size() >= 3 && args[1] == "--layout") {
        const SimLayout* layout = find_sim_layout(args[2]);
        if (layout == nullptr) {
          console_.say("unknown layout '" + args[2] + "'; the layouts are " + sim_layout_names());
          return;
        }
        as = PresentedLayout{layout, parse_layout_options(*layout, {args.begin() + 3, args.end()})};
      } else if (args.size() > 1) {
        console_.say("dump takes a sector number, then --layout NAME and its options");
        return;
      } else if (const auto it = layouts_.find(card->serial()); it != layouts_.end()) {
        as = it->second;
      }
      if (as) {
        const std::string decoded = as->layout->decode(*card, *sector, as->options);
        text += decoded.empty() ? std::string("  (not a sector of the ") + as->layout->name + " layout)\n" : decoded;
      }
    } catch (const LayoutError& e) {
      text += std::string("  ") + e.what() + "\n";
    }
    console_.say(text);
  }

  void save(const std::string& path) {
    const auto card = reader_->card();
    if (!card) {
      console_.say("no card in the field");
      return;
    }
    if (path.empty()) {
      console_.say("save takes a file name");
      return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << card_to_text(*card);
    out.close();
    if (!out) {
      console_.say("cannot write '" + path + "': " + std::strerror(errno));
      return;
    }
    console_.say("card " + serial_text(card->serial()) + " saved to " + path);
  }

  void status() {
    std::string text = "reader " + reader_->transport().path() + ", device id " + std::to_string(reader_->address()) +
                       (reader_->connected() ? ", host connected" : ", no host connected");
    const auto card = reader_->card();
    text += card ? ", card " + serial_text(card->serial()) + " in the field" : ", field empty";
    console_.say(text);
  }

  const Options& options_;
  Console& console_;
  Narrator narrator_;
  std::map<uint32_t, std::shared_ptr<Card>> cards_;  // every card shown, by serial
  std::map<uint32_t, PresentedLayout> layouts_;       // the layout each was presented with
  Uid last_uid_{};
  uint32_t current_serial_ = 0;
  std::unique_ptr<EmulatedReader> reader_;  // last: its thread calls into the members above
};

// The command loop: standard input and the termination signals, until one
// of them says stop.
int run(const Options& options) {
  // Signals are taken through a descriptor, so they must be blocked before
  // the emulator starts its thread (which inherits the mask).
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  if (::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return kExitFailure;
  const int signal_fd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::fprintf(stderr, "%s: signalfd: %s\n", kProgram, std::strerror(errno));
    return kExitFailure;
  }
  // A closed standard output must not kill the program before it removed
  // its socket.
  ::signal(SIGPIPE, SIG_IGN);

  Console console;
  Simulator simulator(options, console);
  if (options.carrier == Carrier::unix_socket && socket_in_use(options.folder + "/" + options.name)) {
    std::fprintf(stderr, "%s: a reader named '%s' is already running in %s\n", kProgram, options.name.c_str(),
                 options.folder.c_str());
    return kExitFailure;
  }
  try {
    simulator.plug();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: cannot plug the reader into %s: %s\n", kProgram, options.folder.c_str(), e.what());
    return kExitFailure;
  }

  std::string pending;
  bool running = true;
  bool input_open = true;
  while (running) {
    std::array<pollfd, 2> fds{};
    fds[0] = {input_open ? STDIN_FILENO : -1, POLLIN, 0};
    fds[1] = {signal_fd, POLLIN, 0};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      if (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        console.say(std::string("stopping on ") + ::strsignal(static_cast<int>(info.ssi_signo)));
      break;
    }
    if (fds[0].revents == 0) continue;
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // End of input: a script that started the reader in the background
      // still wants it; it serves until a signal ends it.
      if (!pending.empty()) running = simulator.run(pending);
      pending.clear();
      input_open = false;
      if (running) console.say("standard input ended; serving until SIGINT, SIGTERM or SIGHUP");
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t newline; running && (newline = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      running = simulator.run(line);
    }
    if (pending.size() > 4096) {
      console.say("input line too long; ignored");
      pending.clear();
    }
  }
  simulator.unplug();
  ::close(signal_fd);
  return 0;
}

}  // namespace
}  // namespace kk::emu

int main(int argc, char** argv) {
  try {
    return kk::emu::run(kk::emu::parse_options(argc, argv));
  } catch (const kk::emu::UsageError& e) {
    std::fprintf(stderr, "%s: %s\n(try --help)\n", kk::emu::kProgram, e.message.c_str());
    return kk::emu::kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kk::emu::kProgram, e.what());
    return kk::emu::kExitFailure;
  }
}
