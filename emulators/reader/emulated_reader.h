// A whole emulated card reader: the socket and packet layer of
// ReaderEmulator with the reader's command side on top. It speaks the
// encrypted link (DES under the shared link key, a fresh link token in every
// reply and a check that the next request carries it), keeps four
// configuration slots, answers the set-address request, and carries the
// card commands (card request, sound and light, MIFARE authentication, block
// read and write) to the MIFARE Classic card in its field.
//
// Host developers run it without hardware through kioskkit-reader-sim;
// tests start it in-process and use its fault hooks (no reply to the k-th
// exchange, a refused or torn block write, a card taken away, the reader
// unplugged) and its log of decoded commands.
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
[[nodiscard]] Slot df_slot(uint32_t df_version, std::string_view df_id);      // slot 1
[[nodiscard]] Slot sectors_slot(uint8_t s1, uint8_t s2, uint8_t s3);        // slot 2
[[nodiscard]] Slot transport_key_slot(uint32_t version, std::span<const uint8_t, 8> key);  // slot 3

// One command as the reader decoded it.
struct DecodedCommand {
  uint16_t packet_type = 0;   // 0x0900 command frame, 0x8081 set-address
  uint16_t address = 0;       // device id the host addressed
  std::vector<uint8_t> frame; // the decrypted command frame (set-address: the payload)
  bool token_ok = true;       // the frame carried the token of the last reply
  bool answered = true;       // false when a fault hook swallowed the reply
  // The reply's status: byte 8 for an authentication, byte 7 otherwise
  // (0 = not done). Meaningful only when answered.
  uint8_t status = 0;
  // For a refused card command: what the card ran into, in words (no card,
  // no authentication and why, the access condition that forbids it).
  std::string refusal;

  [[nodiscard]] uint8_t code() const { return frame.size() > 0 ? frame[0] : 0; }
  [[nodiscard]] uint8_t sub() const { return frame.size() > 5 ? frame[5] : 0; }
  [[nodiscard]] uint8_t param1() const { return frame.size() > 6 ? frame[6] : 0; }
  [[nodiscard]] uint8_t param2() const { return frame.size() > 7 ? frame[7] : 0; }
  [[nodiscard]] uint32_t token() const;
};

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

  // Fault hooks. drop_reply(k): the k-th exchange from now (1 = the next)
  // gets no reply, as if the request was lost; the reader's state does not
  // change. refuse_beep: the sound command answers "not done".
  void drop_reply(unsigned nth = 1);
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

  mutable std::mutex mutex_;
  mutable std::condition_variable logged_;
  cardkit::DesKeyContext link_key_;
  uint16_t address_;
  uint32_t token_ = 0;  // the token the next request must carry
  std::array<Slot, 4> slots_{};
  std::shared_ptr<Card> card_;
  unsigned drop_countdown_ = 0;
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
