// Shared by the card-layout tests: an emulated reader with a MIFARE Classic
// card in its field, attached to the kit's device manager over the real
// socket transport, and helpers to swap cards and look at their raw blocks.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "cardkit.h"
#include "cardkit/devices/device_manager.h"
#include "emulators/mifare/card.h"
#include "tests/reader/fixture.h"

namespace kk::testing {

using Raw = std::array<uint8_t, 16>;

inline std::string hex(std::span<const uint8_t> bytes) {
  std::string text;
  char two[4];
  for (const uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X ", b);
    text += two;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

inline emu::Uid uid_of(uint32_t serial) {
  return {static_cast<uint8_t>(serial >> 24), static_cast<uint8_t>(serial >> 16),
          static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)};
}

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = folder_.plug();
    card_ = reader_->present_new_card(emu::CardType::classic_1k, kUid);
    cardkit::DeviceManager::instance().start();
    ASSERT_TRUE(sees(kSerial)) << "the kit attached the reader and saw its card";
  }
  void TearDown() override { cardkit::DeviceManager::instance().stop(); }

  // True once requestCard reports `serial` on the newest reader.
  static bool sees(uint32_t serial) {
    return eventually([serial] {
      uint16_t id = 0;
      uint32_t s = 0;
      return requestCard(&id, &s, 100) == 0 && s == serial;
    });
  }

  // A factory-fresh card in the field, seen by the kit.
  std::shared_ptr<emu::Card> present_fresh(uint32_t serial, emu::CardType type = emu::CardType::classic_1k) {
    card_ = reader_->present_new_card(type, uid_of(serial));
    EXPECT_TRUE(sees(serial));
    EXPECT_TRUE(selected());
    return card_;
  }

  // Puts `card` back in the field (it kept its memory), seen by the kit.
  void present(const std::shared_ptr<emu::Card>& card) {
    reader_->present(card);
    card_ = card;
    EXPECT_TRUE(sees(card->serial()));
    EXPECT_TRUE(selected());
  }

  // The card in the field has been selected by the card thread's poll (a
  // card just put there answers nothing before).
  bool selected() const {
    return eventually([this] { return card_->selected(); });
  }

  // Runs `call` until it returns something other than 16 or 17: a card left
  // unselected by a torn write opens again once the card thread has polled.
  static uint32_t settled(const std::function<uint32_t()>& call) {
    uint32_t r = 0;
    eventually([&] {
      r = call();
      return r != 16 && r != 17;
    });
    return r;
  }

  [[nodiscard]] Raw raw(unsigned block) const { return card_->raw_block(block); }

  ReaderFolder folder_;
  std::unique_ptr<emu::EmulatedReader> reader_;
  std::shared_ptr<emu::Card> card_;
};

}  // namespace kk::testing
