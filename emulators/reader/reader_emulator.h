// An emulated card reader, as the kit sees it through KIOSKKIT_READER_DIR:
// the server end of the reader socket protocol (attribute bytes on connect,
// then 65-byte report transfers, one client at a time) and the reader's packet
// layer (it gathers the host's byte-reversed request packet from its reports,
// checks and decodes it, and sends the reply packet in natural order in as
// many 64-byte reports as it needs). What the reader answers is up to a
// request handler: the reader's command side plugs in there, and tests use it
// to inject faults (no reply, raw bytes, a corrupted packet). Every decoded
// request is logged so tests can assert frames and their order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace kk::emu {

// One request packet as the reader decoded it.
struct ReaderRequest {
  uint8_t address_form = 0;  // 0: one-byte device id, 1: two-byte
  uint16_t address = 0;      // device id the host addressed
  uint16_t type = 0;         // packet type
  std::vector<uint8_t> payload;
  size_t reports = 0;  // reports the packet arrived in
};

// What the reader sends back for one request.
struct ReaderReply {
  enum class Kind { packet, raw, none };
  Kind kind = Kind::none;
  uint16_t address = 0;        // packet: device id to answer with
  uint16_t type = 0;           // packet: packet type
  std::vector<uint8_t> bytes;  // packet: the payload; raw: the bytes to send as they stand
  // The reader holds the reply back this long, as a busy reader does: it
  // takes no request meanwhile (they wait in the socket, in order). A delay
  // beyond the host's time-out makes a late reply.
  std::chrono::milliseconds delay{0};

  // A well-formed reply packet (one-byte address form below 256).
  static ReaderReply packet(uint16_t address, uint16_t type, std::vector<uint8_t> payload);
  // Bytes sent as they stand, cut into 64-byte reports, the last zero-filled.
  static ReaderReply raw(std::vector<uint8_t> bytes);
  // No answer at all.
  static ReaderReply none();
};

// Called on the emulator's thread for every intact request, without any
// emulator lock held. It must not call unplug() or destroy the emulator.
using RequestHandler = std::function<ReaderReply(const ReaderRequest&)>;

// The natural-order bytes of a reply packet, CRC included: the start of a
// handler that wants to send a damaged one.
[[nodiscard]] std::vector<uint8_t> encode_reply(uint16_t address, uint16_t type,
                                                std::span<const uint8_t> payload);

enum class Carrier {
  unix_socket,  // a Unix stream socket named `name` in the folder
  tcp,          // a loopback TCP port named by the file `name` + ".tcp"
};

struct ReaderEmulatorOptions {
  std::string folder;            // the folder the kit finds readers in
  std::string name = "reader0";  // socket (or .tcp file) name; it sets the interface order
  Carrier carrier = Carrier::unix_socket;
  uint16_t vendor_id = 0x0925;
  uint16_t product_id = 0x4552;
};

class ReaderEmulator {
 public:
  // Creates the socket (or the port and its .tcp file) and starts serving.
  // Throws std::system_error when the socket cannot be set up.
  explicit ReaderEmulator(ReaderEmulatorOptions options);
  // Unplugs and joins the server thread.
  ~ReaderEmulator();
  ReaderEmulator(const ReaderEmulator&) = delete;
  ReaderEmulator& operator=(const ReaderEmulator&) = delete;

  // Replaces the request handler. The default echoes each request: same
  // address, type and payload.
  void set_handler(RequestHandler handler);

  // A pause before each reply report is sent (1 ms is the cadence of a
  // full-speed USB interrupt endpoint). Zero by default.
  void set_report_delay(std::chrono::microseconds delay);
  // A pause before the reader takes each request report in, counted from the
  // report's arrival: with both delays set to 1 ms the link runs at the pace
  // of a full-speed interrupt endpoint in both directions. Zero by default.
  //
  // Paced reports keep to a schedule rather than sleeping after each other:
  // report k of a reply goes out k delays after the request was taken in,
  // so the reader's own work overlaps the wire time as a real reader's does,
  // and a late wake-up does not add up over the reports.
  void set_request_report_delay(std::chrono::microseconds delay);

  // Called with true when a client takes the reader, false when its
  // connection ends; on the server thread (or in unplug()), without any
  // emulator lock held. The same rules as for the request handler apply.
  void set_connection_observer(std::function<void(bool connected)> observer);

  // Keeps at most `limit` requests in the log, dropping the oldest (0: keep
  // all, the default). A long-running emulator sets it so that the host's
  // card polls do not grow the log without end; wait_for_requests() then
  // counts the requests kept.
  void set_log_limit(size_t limit);

  // Closes the client's connection and removes the socket (or .tcp file):
  // the reader is gone for good. Called again, it does nothing.
  void unplug();

  // The socket or .tcp file the kit connects through.
  [[nodiscard]] const std::string& path() const { return path_; }

  // True while a client holds the reader.
  [[nodiscard]] bool connected() const;
  // Connections refused because another client held the reader.
  [[nodiscard]] size_t refused_connections() const;
  // Request reports that did not end in an intact packet and were dropped.
  [[nodiscard]] size_t dropped_reports() const;

  // Every intact request so far, oldest first.
  [[nodiscard]] std::vector<ReaderRequest> requests() const;
  // Waits until at least `count` requests were logged; false on time-out.
  [[nodiscard]] bool wait_for_requests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void serve();
  void accept_client();
  bool receive();
  void take_report(std::span<const uint8_t> report);
  bool send_reply(const ReaderReply& reply);
  bool pause_until(std::chrono::steady_clock::time_point deadline);
  bool send_all(std::span<const uint8_t> bytes);
  void close_client();
  void notify_connection(bool connected);

  ReaderEmulatorOptions options_;
  std::string path_;
  int listen_fd_ = -1;
  // Owned by the server thread: the client, its partial transfer, and the
  // request reports gathered so far (still byte-reversed).
  int client_fd_ = -1;
  std::vector<uint8_t> transfer_;
  std::vector<uint8_t> gathered_;
  // The moment the paced link is free for the next report (server thread).
  std::chrono::steady_clock::time_point wire_free_{};
  int wake_read_fd_ = -1;  // unplug() writes to wake_write_fd_ to stop the thread
  int wake_write_fd_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable logged_;
  RequestHandler handler_;
  std::chrono::microseconds report_delay_{0};
  std::chrono::microseconds request_report_delay_{0};
  std::function<void(bool)> connection_observer_;
  size_t log_limit_ = 0;
  std::vector<ReaderRequest> log_;
  bool connected_ = false;
  bool unplugged_ = false;
  size_t refused_ = 0;
  size_t dropped_reports_ = 0;

  platform::Thread thread_;
};

}  // namespace kk::emu
