// The card layouts kioskkit-reader-sim knows: it can put a card already
// issued in a layout into the field (present --layout NAME ...), so a host
// developer can try reading before writing an issuing tool, and it explains
// a sector's blocks as a layout (dump SECTOR --layout NAME ...). The bytes
// come from the kit's own layout codecs, so they are what the kit writes.
//
// Each layout is one row of the table in sim_layouts.cc; a new layout adds
// its row (and may keep its functions in a file of its own).
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "emulators/mifare/card.h"

namespace kk::emu {

// The options after --layout NAME, without their dashes: {"balance": "500"}.
using LayoutOptions = std::map<std::string, std::string>;

// A layout option that is missing, unknown or malformed; the text says which.
struct LayoutError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct SimLayout {
  const char* name;
  const char* usage;                      // its options, as help shows them
  std::vector<std::string_view> options;  // the option names it takes
  // Writes an issued card of this layout onto `card`, past the access
  // checks, as the kit's issue and transactions would leave it. Throws
  // LayoutError for a bad option.
  void (*issue)(Card& card, const LayoutOptions& options);
  // The blocks of `sector` explained as this layout, or empty when the
  // layout does not use that sector. Throws LayoutError for a bad option.
  std::string (*decode)(const Card& card, unsigned sector, const LayoutOptions& options);
};

// The layout of that name, or nullptr.
[[nodiscard]] const SimLayout* find_sim_layout(std::string_view name);
// "lf, lfzx, ..." for messages and help.
[[nodiscard]] std::string sim_layout_names();
// Every layout's name and options, one line each, for help.
[[nodiscard]] std::string sim_layout_usage();

// Reads "--name value" pairs into options,
// checking the names against the layout's. Throws LayoutError.
[[nodiscard]] LayoutOptions parse_layout_options(const SimLayout& layout,
                                                 const std::vector<std::string>& words);

}  // namespace kk::emu
