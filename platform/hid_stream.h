// The emulated-reader carrier, shared by every system: an emulated reader is
// one more HID interface, reached through the folder named by
// KIOSKKIT_READER_DIR (read afresh at every enumeration). Every Unix stream
// socket in it (where the system has them) and every regular file whose
// name ends in ".tcp" and whose first line is a loopback address and port
// ("127.0.0.1:7001", any 127.x.y.z, or "[::1]:7001") is one interface; they
// come in bytewise order of their names, both carriers mixed.
//
// The protocol is the same on both carriers: on connect the emulator sends
// the vendor and product id (16 bits each, least significant byte first);
// after that each report travels as one 65-byte transfer, report id 0
// first. A server that closes the connection before the attribute bytes
// holds another client: the interface is skipped.
//
// Internal to the platform layer's HID service; not part of hid.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/hid_impl.h"
#include "platform/hid_socket.h"

namespace kk::platform {

// Opens the first emulated reader, in name order, that carries `vendor_id`
// and `product_id` and that nobody holds; null when there is none (or no
// reader folder).
[[nodiscard]] std::unique_ptr<HidDevice::Impl> open_emulated_interface(uint16_t vendor_id,
                                                                       uint16_t product_id);

// Reads the first line of a ".tcp" file (without its line end and trailing
// blanks): true and `address` filled when it is a loopback address and
// port. Anything else (another address, a host name, a zone, blanks in
// front, a port out of 1..65535 or not in decimal digits) is refused.
[[nodiscard]] bool parse_loopback_address(std::string_view line, net::LoopbackAddress& address);

}  // namespace kk::platform
