#include "emulators/reader/emulated_reader.h"

#include <algorithm>

#include "common/bytes.h"

namespace kk::emu {
namespace {

constexpr std::array<uint8_t, 8> kLinkKey = {'M', 'O', 'S', 'S', 'G', 'L', 'E', 'N'};
constexpr uint16_t kTypeCommand = 0x0900;
constexpr uint16_t kTypeSetAddress = 0x8081;

constexpr uint8_t kCmdHello = 0x00, kCmdCardRequest = 0x01, kCmdMifare = 0x14, kCmdBeep = 0x16,
                  kCmdConfigRead = 0x22, kCmdConfigWrite = 0x23;
constexpr uint8_t kMifareAuth = 1, kMifareRead = 2, kMifareWrite = 3;
constexpr uint8_t kDone = 1, kNotDone = 0;

}  // namespace

Slot df_slot(uint32_t df_version, std::string_view df_id) {
  Slot s{0x55, 0x66};
  store_u32_le(&s[2], df_version);
  std::copy_n(df_id.begin(), std::min<size_t>(df_id.size(), 8), s.begin() + 6);
  return s;
}

Slot sectors_slot(uint8_t s1, uint8_t s2, uint8_t s3) { return Slot{0x55, 0xAA, s1, s2, s3, 0xFF}; }

Slot transport_key_slot(uint32_t version, std::span<const uint8_t, 8> key) {
  Slot s{0x55, 0xCC};
  store_u32_le(&s[2], version);
  std::copy(key.begin(), key.end(), s.begin() + 6);
  return s;
}

uint32_t DecodedCommand::token() const { return frame.size() >= 5 ? load_u32_be(&frame[1]) : 0; }

bool CommandFilter::matches(const DecodedCommand& command) const {
  if (set_address) return command.packet_type == kTypeSetAddress;
  if (code < 0) return true;
  if (command.packet_type != kTypeCommand || command.code() != code) return false;
  return sub < 0 || command.sub() == sub;
}

bool EmulatedReader::Hook::fires(const DecodedCommand& command) {
  if (countdown == 0 || !which.matches(command)) return false;
  return --countdown == 0;
}

EmulatedReader::EmulatedReader(ReaderEmulatorOptions options, uint16_t address)
    : link_key_(kLinkKey), address_(address), tokens_(0x5EED0000u ^ address), transport_(std::move(options)) {
  transport_.set_handler([this](const ReaderRequest& request) { return handle(request); });
}

EmulatedReader::~EmulatedReader() { transport_.unplug(); }

void EmulatedReader::set_slot(uint8_t slot, const Slot& content) {
  std::lock_guard guard(mutex_);
  slots_.at(slot) = content;
}

Slot EmulatedReader::slot(uint8_t slot) const {
  std::lock_guard guard(mutex_);
  return slots_.at(slot);
}

void EmulatedReader::present(std::shared_ptr<Card> card) {
  std::lock_guard guard(mutex_);
  card_ = std::move(card);
}

std::shared_ptr<Card> EmulatedReader::present_new_card(CardType type, const Uid& uid) {
  auto card = std::make_shared<Card>(type, uid);
  present(card);
  return card;
}

void EmulatedReader::remove_card() { present(nullptr); }

std::shared_ptr<Card> EmulatedReader::card() const {
  std::lock_guard guard(mutex_);
  return card_;
}

void EmulatedReader::drop_reply(unsigned nth, CommandFilter which) {
  std::lock_guard guard(mutex_);
  drop_ = {nth, which, {}};
}

void EmulatedReader::delay_reply(std::chrono::milliseconds delay, unsigned nth, CommandFilter which) {
  std::lock_guard guard(mutex_);
  delay_ = {nth, which, delay};
}

void EmulatedReader::lose_reply(unsigned nth, CommandFilter which) {
  std::lock_guard guard(mutex_);
  lose_ = {nth, which, {}};
}

void EmulatedReader::report_not_done(unsigned nth, CommandFilter which) {
  std::lock_guard guard(mutex_);
  not_done_ = {nth, which, {}};
}

void EmulatedReader::refuse_beep(bool refuse) {
  std::lock_guard guard(mutex_);
  refuse_beep_ = refuse;
}

void EmulatedReader::set_report_delay(std::chrono::microseconds delay) { transport_.set_report_delay(delay); }

void EmulatedReader::set_request_report_delay(std::chrono::microseconds delay) {
  transport_.set_request_report_delay(delay);
}

void EmulatedReader::unplug() { transport_.unplug(); }

uint16_t EmulatedReader::address() const {
  std::lock_guard guard(mutex_);
  return address_;
}

std::vector<DecodedCommand> EmulatedReader::commands() const {
  std::lock_guard guard(mutex_);
  return log_;
}

size_t EmulatedReader::count(uint8_t code, int sub) const {
  std::lock_guard guard(mutex_);
  return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const DecodedCommand& c) {
    return c.packet_type == kTypeCommand && c.code() == code && (sub < 0 || c.sub() == sub);
  }));
}

void EmulatedReader::clear_commands() {
  std::lock_guard guard(mutex_);
  log_.clear();
}

void EmulatedReader::set_log_limit(size_t limit) {
  {
    std::lock_guard guard(mutex_);
    log_limit_ = limit;
    if (limit > 0 && log_.size() > limit)
      log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(log_.size() - limit));
  }
  transport_.set_log_limit(limit);
}

void EmulatedReader::set_command_observer(std::function<void(const DecodedCommand&)> observer) {
  std::lock_guard guard(mutex_);
  observer_ = std::move(observer);
}

bool EmulatedReader::wait_for_commands(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(mutex_);
  return logged_.wait_for(guard, timeout, [&] { return log_.size() >= count; });
}

size_t EmulatedReader::token_errors() const {
  std::lock_guard guard(mutex_);
  return token_errors_;
}

uint32_t EmulatedReader::fresh_token() {
  uint32_t t;
  do t = static_cast<uint32_t>(tokens_());
  while (t == 0 || t == token_);
  return t;
}

ReaderReply EmulatedReader::handle(const ReaderRequest& request) {
  std::unique_lock guard(mutex_);
  DecodedCommand logged;
  logged.packet_type = request.type;
  logged.address = request.address;
  logged.frame = request.payload;
  const bool is_frame =
      request.type == kTypeCommand && request.payload.size() >= 9 && (request.payload.size() - 1) % 8 == 0;
  if (is_frame) cardkit::des_ecb_decrypt(link_key_, std::span(logged.frame).subspan(1));

  // Every armed hook counts the command, whichever of them hits it.
  const bool drop = drop_.fires(logged);
  const bool lose = lose_.fires(logged);
  const bool late = delay_.fires(logged);
  const bool not_done = not_done_.fires(logged);

  ReaderReply answer = ReaderReply::none();
  if (drop) {
    // A lost request: the reader never saw it, so nothing changes.
    logged.fault = LinkFault::dropped;
  } else if (request.type == kTypeSetAddress) {
    if (request.payload.size() == 2) {
      address_ = load_u16_be(request.payload.data());
      answer = ReaderReply::packet(address_, kTypeSetAddress, {});
      last_status_ = kDone;
    }
  } else if (is_frame) {
    reporting_not_done_ = not_done;
    answer = handle_frame(logged);
    reporting_not_done_ = false;
  }
  if (answer.kind != ReaderReply::Kind::none) {
    logged.status = last_status_;
    if (lose) {
      answer = ReaderReply::none();
      logged.fault = LinkFault::lost;
    } else if (late) {
      answer.delay = delay_.delay;
      logged.fault = LinkFault::delayed;
    } else if (not_done && is_frame) {
      logged.fault = LinkFault::not_done;
    }
  }
  logged.answered = answer.kind != ReaderReply::Kind::none;
  log_.push_back(logged);
  if (log_limit_ > 0 && log_.size() > log_limit_) log_.erase(log_.begin());
  const auto observer = observer_;
  guard.unlock();
  logged_.notify_all();
  if (observer) {
    try {
      observer(logged);
    } catch (...) {
      // An observer only watches; the reply goes out regardless.
    }
  }
  return answer;
}

ReaderReply EmulatedReader::handle_frame(DecodedCommand& logged) {
  const auto& f = logged.frame;
  const uint8_t code = f[0], sub = f[5], p1 = f[6], p2 = f[7];
  const auto data = std::span(f).subspan(9);

  // The hello command starts a link afresh and carries token 0; every other
  // frame must carry the token of the last reply.
  if (code == kCmdHello) {
    logged.token_ok = logged.token() == 0;
  } else {
    logged.token_ok = logged.token() == token_;
    if (!logged.token_ok) {
      ++token_errors_;
      return reply(code, sub, kNotDone, kNotDone, {});
    }
  }
  switch (code) {
    case kCmdHello: {
      const bool key_ok = data.size() >= 8 && std::equal(kLinkKey.begin(), kLinkKey.end(), data.begin());
      return reply(code, sub, key_ok ? kDone : kNotDone, 0, {});
    }
    case kCmdConfigRead:
      if (sub > 3) return reply(code, sub, kNotDone, 0, {});
      return reply(code, sub, kDone, 0, slots_[sub]);
    case kCmdConfigWrite:
      if (sub > 3 || p1 != 0x10 || data.size() < 16) return reply(code, sub, kNotDone, 0, {});
      std::copy_n(data.begin(), 16, slots_[sub].begin());
      return reply(code, sub, kDone, 0, {});
    case kCmdCardRequest: {
      if (!card_) return reply(code, sub, kNotDone, 0, {});
      std::array<uint8_t, 4> serial;
      store_u32_be(serial.data(), card_->select());
      return reply(code, sub, kDone, 0, serial);
    }
    case kCmdBeep:
      return reply(code, sub, refuse_beep_ ? kNotDone : kDone, 0, {});
    case kCmdMifare: {
      if (!card_) {
        logged.refusal = "no card in the field";
        return reply(code, sub, kNotDone, kNotDone, {});
      }
      // A refusal is explained for the log (and the simulator's verbose mode).
      auto done = [&](CardResult result, Card::Operation operation, KeyType key = KeyType::a) {
        if (result != CardResult::ok) logged.refusal = card_->explain(result, p1, operation, key);
        return result == CardResult::ok;
      };
      if (sub == kMifareAuth && data.size() >= 6) {
        const auto key_type = p2 == 1 ? KeyType::a : KeyType::b;
        const bool ok = done(card_->authenticate(p1, key_type, data.first<6>()), Card::Operation::authenticate,
                             key_type);
        return reply(code, sub, ok ? kDone : kNotDone, ok ? kDone : kNotDone, {});
      }
      if (sub == kMifareRead) {
        Block block{};
        const bool ok = done(card_->read_block(p1, block), Card::Operation::read);
        return reply(code, sub, ok ? kDone : kNotDone, 0,
                     ok ? std::span<const uint8_t>(block) : std::span<const uint8_t>());
      }
      if (sub == kMifareWrite && data.size() >= 16) {
        const bool ok = done(card_->write_block(p1, data.first<16>()), Card::Operation::write);
        return reply(code, sub, ok ? kDone : kNotDone, 0, {});
      }
      return reply(code, sub, kNotDone, kNotDone, {});
    }
    default:
      return reply(code, sub, kNotDone, kNotDone, {});
  }
}

ReaderReply EmulatedReader::reply(uint8_t code, uint8_t sub, uint8_t status, uint8_t auth_status,
                                  std::span<const uint8_t> data) {
  // Header and data, padded to whole DES blocks after the clear first byte.
  const size_t body = 8 + data.size();
  std::vector<uint8_t> frame(1 + (body + 7) / 8 * 8, 0);
  frame[0] = code;
  token_ = fresh_token();
  store_u32_be(&frame[1], token_);
  frame[5] = sub;
  frame[6] = static_cast<uint8_t>(data.size());
  if (reporting_not_done_) status = auth_status = kNotDone;
  frame[7] = status;
  frame[8] = auth_status;
  last_status_ = code == kCmdMifare && sub == kMifareAuth ? auth_status : status;
  std::copy(data.begin(), data.end(), frame.begin() + 9);
  cardkit::des_ecb_encrypt(link_key_, std::span(frame).subspan(1));
  return ReaderReply::packet(address_, kTypeCommand, std::move(frame));
}

}  // namespace kk::emu
