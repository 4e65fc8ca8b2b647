// A whole emulated card reader: the socket and packet layer of
// ReaderEmulator with the reader's command side on top. It speaks the
// encrypted link (DES under the shared link key, a fresh link token in every
// reply and a check that the next request carries it), keeps four
// configuration slots, answers the set-address request, and carries the
// card commands (card request, sound and light, MIFARE authentication, block
// read and write) to the MIFARE Classic card in its field.
//
// Host developers run it without hardware through kioskkit-reader-sim;
// tests start it in-process and use its fault hooks (a request lost, a reply
// late, lost or saying "not done", a refused or torn block write, a card
// taken away, the reader unplugged) and its log of decoded commands.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cardkit/crypto/des.h"
#include "emulators/mifare/card.h"
#include "emulators/reader/reader_emulator.h"

namespace kk::emu {

using Slot = std::array<uint8_t, 16>;

// Configuration slot contents the kit understands.
[[nodiscard]] Slot df_slot(uint32_t df_version, std::string_view df_id);                   // slot 1
[[nodiscard]] Slot sectors_slot(uint8_t s1, uint8_t s2, uint8_t s3);                       // slot 2
[[nodiscard]] Slot transport_key_slot(uint32_t version, std::span<const uint8_t, 8> key);  // slot 3

// What a link-level fault hook did to a command (see EmulatedReader).
enum class LinkFault : uint8_t {
  none,
  dropped,   // drop_reply: the request was lost; the reader did nothing
  delayed,   // delay_reply: carried out, answered late
  lost,      // lose_reply: carried out, the reply never reached the host
  not_done,  // report_not_done: carried out, answered "not done"
};

// One command as the reader decoded it.
struct DecodedCommand {
  uint16_t packet_type = 0;    // 0x0900 command frame, 0x8081 set-address
  uint16_t address = 0;        // device id the host addressed
  std::vector<uint8_t> frame;  // the decrypted command frame (set-address: the payload)
  bool token_ok = true;        // the frame carried the token of the last reply
  bool answered = true;        // false when a fault hook swallowed the reply
  // The reply's status: byte 8 for an authentication, byte 7 otherwise
  // (0 = not done). Meaningful when the command was carried out (every
  // fault but `dropped`); for a lost reply, the status it would have said.
  uint8_t status = 0;
  LinkFault fault = LinkFault::none;
  // For a refused card command: what the card ran into, in words (no card,
  // no authentication and why, the access condition that forbids it).
  std::string refusal;

  [[nodiscard]] uint8_t code() const { return frame.size() > 0 ? frame[0] : 0; }
  [[nodiscard]] uint8_t sub() const { return frame.size() > 5 ? frame[5] : 0; }
  [[nodiscard]] uint8_t param1() const { return frame.size() > 6 ? frame[6] : 0; }
  [[nodiscard]] uint8_t param2() const { return frame.size() > 7 ? frame[7] : 0; }
  [[nodiscard]] uint32_t token() const;
};

// The exchanges a fault hook counts. The default counts every exchange, the
// set-address request and the host's card polls included; a code (and a
// sub-command) narrows it to those command frames, so that the card thread's
// polls do not shift the count.
struct CommandFilter {
  int code = -1;             // command code (frame byte 0); -1: any
  int sub = -1;              // sub-command (frame byte 5); -1: any
  bool set_address = false;  // only set-address requests (code and sub unused)

  [[nodiscard]] bool matches(const DecodedCommand& command) const;
};

// Filters for the exchanges fault tests aim at most.
inline constexpr CommandFilter kBlockRead{0x14, 2};
inline constexpr CommandFilter kBlockWrite{0x14, 3};
inline constexpr CommandFilter kAuthentication{0x14, 1};
inline constexpr CommandFilter kCardRequest{0x01};
inline constexpr CommandFilter kHello{0x00};
inline constexpr CommandFilter kSetAddress{-1, -1, true};

class EmulatedReader {
 public:
  // Plugs the reader in: its socket appears in options.folder. `address` is
  // the device id it answers with until the host gives it another.
  explicit EmulatedReader(ReaderEmulatorOptions options, uint16_t address = 0);
  ~EmulatedReader();
  EmulatedReader(const EmulatedReader&) = delete;
  EmulatedReader& operator=(const EmulatedReader&) = delete;

  // Configuration slots 0-3. Slots start as zeros (untagged).
  void set_slot(uint8_t slot, const Slot& content);
  [[nodiscard]] Slot slot(uint8_t slot) const;

  // Puts `card` in the field (replacing any card there), or takes it away.
  void present(std::shared_ptr<Card> card);
  std::shared_ptr<Card> present_new_card(CardType type, const Uid& uid);
  void remove_card();
  [[nodiscard]] std::shared_ptr<Card> card() const;

  // Link-level fault hooks. Each aims at the nth exchange from now (1 = the
  // next) that `which` matches, fires once, and is replaced when armed
  // again; the four hooks are independent of each other.
  //
  // drop_reply: the request is lost on its way. The reader does nothing:
  // the card, the slots and the link token stay as they were, and the host's
  // read times out.
  void drop_reply(unsigned nth = 1, CommandFilter which = {});
  // delay_reply: the command is carried out when it arrives (the card and
  // the link token change at once), but its reply goes out only after
  // `delay`, as from a reader busy with a long sound signal. The reader is
  // busy meanwhile: requests that arrive wait in the socket and are handled
  // in order afterwards. A delay beyond the host's time-out is a late reply.
  void delay_reply(std::chrono::milliseconds delay, unsigned nth = 1, CommandFilter which = {});
  // lose_reply: the command is carried out (a block write reaches the card,
  // the reader issues a new link token) but its reply never reaches the
  // host, whose read times out: the torn transaction of a reply lost on the
  // wire.
  void lose_reply(unsigned nth = 1, CommandFilter which = {});
  // report_not_done: the command is carried out, but the reply says it was
  // not (status bytes 7 and 8 are 0): the host believes a write failed that
  // reached the card. Reply data is sent as usual.
  void report_not_done(unsigned nth = 1, CommandFilter which = {});
  // refuse_beep: the sound command answers "not done" (and does nothing).
  void refuse_beep(bool refuse);
  // Pause before each reply report (see ReaderEmulator::set_report_delay).
  void set_report_delay(std::chrono::microseconds delay);
  // Pause before each request report is taken in (see
  // ReaderEmulator::set_request_report_delay).
  void set_request_report_delay(std::chrono::microseconds delay);
  // The reader is unplugged for good.
  void unplug();

  [[nodiscard]] uint16_t address() const;
  [[nodiscard]] std::vector<DecodedCommand> commands() const;
  // Commands with code `code` (and, for 0x14, sub-command `sub` when given).
  [[nodiscard]] size_t count(uint8_t code, int sub = -1) const;
  void clear_commands();
  // Keeps at most `limit` commands (and transport requests) in the logs,
  // dropping the oldest; 0 keeps all (the default). For readers that run
  // for hours: the host polls the field twenty times a second.
  void set_log_limit(size_t limit);
  // Called with every command once it is logged, on the emulator's thread
  // and before the reply goes out, without the reader's lock held. It must
  // not call unplug() or destroy the reader.
  void set_command_observer(std::function<void(const DecodedCommand&)> observer);
  [[nodiscard]] bool wait_for_commands(size_t count, std::chrono::milliseconds timeout) const;
  // Requests that carried a token other than the last one issued.
  [[nodiscard]] size_t token_errors() const;
  [[nodiscard]] bool connected() const { return transport_.connected(); }
  [[nodiscard]] ReaderEmulator& transport() { return transport_; }

 private:
  ReaderReply handle(const ReaderRequest& request);
  ReaderReply handle_frame(DecodedCommand& logged);
  ReaderReply reply(uint8_t code, uint8_t sub, uint8_t status, uint8_t auth_status,
                    std::span<const uint8_t> data);
  uint32_t fresh_token();

  // One armed link-level fault hook.
  struct Hook {
    unsigned countdown = 0;  // 0: not armed
    CommandFilter which;
    std::chrono::milliseconds delay{0};
    // Counts `command` if it matches; true when this is the one to hit.
    bool fires(const DecodedCommand& command);
  };

  mutable std::mutex mutex_;
  mutable std::condition_variable logged_;
  cardkit::DesKeyContext link_key_;
  uint16_t address_;
  uint32_t token_ = 0;  // the token the next request must carry
  std::array<Slot, 4> slots_{};
  std::shared_ptr<Card> card_;
  Hook drop_, delay_, lose_, not_done_;
  bool reporting_not_done_ = false;  // while the command that report_not_done aims at runs
  bool refuse_beep_ = false;
  size_t token_errors_ = 0;
  std::vector<DecodedCommand> log_;
  size_t log_limit_ = 0;
  std::function<void(const DecodedCommand&)> observer_;
  uint8_t last_status_ = 0;  // status of the reply built last
  std::mt19937 tokens_;

  ReaderEmulator transport_;  // last: its thread stops before the state above goes
};

}  // namespace kk::emu
