// Whole exchanges between the transport and the reader emulator over real
// sockets in a temporary reader folder: reports per packet, address forms,
// damaged and missing replies, time-outs, and finding readers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cardkit/transport/crc16.h"
#include "cardkit/transport/transport.h"
#include "emulators/reader/reader_emulator.h"
#include "platform/hid_stream.h"

namespace kk::cardkit {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous: the machine may be loaded; a correct exchange never waits this long.
constexpr uint32_t kTimeoutMs = kCommandTimeoutMs;

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

ReaderPacket request(const Bytes& payload, uint16_t type = kPacketTypeCommand) {
  ReaderPacket packet;
  packet.type = type;
  packet.payload_length = static_cast<int32_t>(payload.size());
  std::copy(payload.begin(), payload.end(), packet.payload.begin());
  return packet;
}

Bytes payload_of(const ReaderPacket& packet) {
  return Bytes(packet.payload.begin(), packet.payload.begin() + packet.payload_length);
}

Bytes counting(size_t n, uint8_t from = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

// Replaces the last two bytes with the CRC of the rest.
Bytes recrc(Bytes p) {
  p.resize(p.size() - 2);
  const uint16_t crc = packet_crc16(p);
  p.push_back(static_cast<uint8_t>(crc >> 8));
  p.push_back(static_cast<uint8_t>(crc));
  return p;
}

class ReaderTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kk-transport-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    folder_ = name;
    ::setenv("KIOSKKIT_READER_DIR", folder_.c_str(), 1);
  }

  void TearDown() override {
    emulators_.clear();
    ::unsetenv("KIOSKKIT_READER_DIR");
    std::filesystem::remove_all(folder_);
  }

  emu::ReaderEmulator& plug(const std::string& name, emu::Carrier carrier = emu::Carrier::unix_socket,
                            uint16_t vendor_id = kReaderVendorId, uint16_t product_id = kReaderProductId) {
    emulators_.push_back(std::make_unique<emu::ReaderEmulator>(
        emu::ReaderEmulatorOptions{folder_, name, carrier, vendor_id, product_id}));
    return *emulators_.back();
  }

  // Opens the one reader the test expects to find.
  platform::HidDevice open_reader() {
    platform::HidDevice device = reader_open();
    EXPECT_TRUE(device.is_open());
    return device;
  }

  std::string folder_;
  std::vector<std::unique_ptr<emu::ReaderEmulator>> emulators_;
};

TEST_F(ReaderTransport, RequestsTravelInAsManyReportsAsTheyNeedAndComeBackWhole) {
  struct Case {
    uint16_t device_id;
    size_t payload;
    uint8_t form;
    size_t reports;  // request reports; the echoed reply needs the same
  };
  const Case cases[] = {
      {255, 55, 0, 1},  // 64 bytes
      {255, 56, 0, 2},  // 65 bytes
      {256, 54, 1, 1},  // 64 bytes in the two-byte form
      {256, 55, 1, 2},  // 65 bytes
      {0, 0, 0, 1},     // 9 bytes
      {1, 291, 0, 5},   // 300 bytes
      {0xFFFF, 290, 1, 5},
  };
  emu::ReaderEmulator& reader = plug("reader");
  platform::HidDevice device = open_reader();

  size_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "device id " << c.device_id << ", payload " << c.payload);
    const Bytes payload = counting(c.payload, static_cast<uint8_t>(index));
    ReaderPacket packet = request(payload);
    ASSERT_EQ(reader_exchange(device, c.device_id, packet, kTimeoutMs), TransportResult::ok);
    EXPECT_EQ(packet.address, c.device_id);
    EXPECT_EQ(payload_of(packet), payload);

    const std::vector<emu::ReaderRequest> log = reader.requests();
    ASSERT_EQ(log.size(), ++index);
    EXPECT_EQ(log.back().address, c.device_id);
    EXPECT_EQ(log.back().address_form, c.form);
    EXPECT_EQ(log.back().type, kPacketTypeCommand);
    EXPECT_EQ(log.back().reports, c.reports);
    EXPECT_EQ(log.back().payload, payload);
  }
  EXPECT_EQ(reader.dropped_reports(), 0u);
}

TEST_F(ReaderTransport, RepliesOfEverySizeAreReadWithExactlyTheirReports) {
  // Reply totals 9, 64 (one report) and 65 (two) in the one-byte form, and
  // 300 in the two-byte form. A read past the reply would wait for a report
  // that never comes and fail the exchange.
  const std::pair<uint16_t, size_t> replies[] = {{7, 0}, {7, 55}, {7, 56}, {0x0102, 290}};
  emu::ReaderEmulator& reader = plug("reader");
  platform::HidDevice device = open_reader();
  for (const auto& [address, size] : replies) {
    SCOPED_TRACE(size);
    const Bytes answer = counting(size, 0x80);
    reader.set_handler([&, address = address](const emu::ReaderRequest&) {
      return emu::ReaderReply::packet(address, 0x0900, answer);
    });
    ReaderPacket packet = request({0x01, 0x02});
    ASSERT_EQ(reader_exchange(device, 7, packet, kTimeoutMs), TransportResult::ok);
    EXPECT_EQ(packet.address, address);
    EXPECT_EQ(payload_of(packet), answer);
  }
  // Nothing was left unread behind the last reply.
  std::array<uint8_t, kReportSize> report{};
  EXPECT_EQ(hid_read_report(device, report, 50), TransportResult::timed_out);
}

TEST_F(ReaderTransport, BadRepliesFailWithoutReadingFurtherReports) {
  const Bytes good = emu::encode_reply(5, 0x0900, counting(20));
  auto with = [](Bytes p, size_t at, uint8_t value, size_t size) {
    p.resize(std::max(p.size(), size));
    p[at] = value;
    return p;
  };
  struct Case {
    const char* name;
    Bytes bytes;  // sent as they stand, zero-filled to whole reports
  };
  const Case cases[] = {
      {"first byte not 0xAE", with(good, 0, 0x00, 3 * kReportSize)},
      {"address form 2", recrc(with(good, 1, 0x02, 0))},
      {"address form 0x0F", with(good, 1, 0x0F, 2 * kReportSize)},
      // One-byte form, length field 294: a 301-byte packet.
      {"announces 301 bytes", with(with(good, 3, 0x01, 0), 4, 0x26, 5 * kReportSize)},
      {"announces 8 bytes", with(with(good, 3, 0x00, 0), 4, 0x01, 0)},
      {"announces 0xFFFF + 8 bytes",
       with(with(with(good, 1, 0x01, 0), 4, 0xFF, 0), 5, 0xFF, 2 * kReportSize)},
  };
  emu::ReaderEmulator& reader = plug("reader");
  platform::HidDevice device = open_reader();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reader.set_handler([&](const emu::ReaderRequest&) { return emu::ReaderReply::raw(c.bytes); });
    ReaderPacket packet = request({0x10});
    EXPECT_EQ(reader_exchange(device, 5, packet, kTimeoutMs), TransportResult::bad_reply);
    // Every report after the first is still waiting.
    const size_t sent = (c.bytes.size() + kReportSize - 1) / kReportSize;
    std::array<uint8_t, kReportSize> report{};
    for (size_t i = 1; i < sent; ++i)
      ASSERT_EQ(hid_read_report(device, report, kTimeoutMs), TransportResult::ok) << i;
    EXPECT_EQ(hid_read_report(device, report, 50), TransportResult::timed_out);
  }
}

TEST_F(ReaderTransport, ACorruptedReplyFailsItsCrcCheck) {
  emu::ReaderEmulator& reader = plug("reader");
  reader.set_handler([](const emu::ReaderRequest&) {
    Bytes reply = emu::encode_reply(5, 0x0900, counting(100));
    reply[50] ^= 0x04;
    return emu::ReaderReply::raw(reply);
  });
  platform::HidDevice device = open_reader();
  ReaderPacket packet = request({0x10});
  packet.payload_length = 1;
  EXPECT_EQ(reader_exchange(device, 5, packet, kTimeoutMs), TransportResult::bad_reply);
  EXPECT_EQ(payload_of(packet), Bytes{0x10});  // the descriptor keeps the request
}

TEST_F(ReaderTransport, AMissingReplyTimesOutAndLeavesTheDeviceUsable) {
  emu::ReaderEmulator& reader = plug("reader");
  reader.set_handler([](const emu::ReaderRequest&) { return emu::ReaderReply::none(); });
  platform::HidDevice device = open_reader();

  ReaderPacket packet = request({1, 2, 3});
  const auto start = Clock::now();
  EXPECT_EQ(reader_exchange(device, 9, packet, 300), TransportResult::timed_out);
  EXPECT_GE(Clock::now() - start, milliseconds(290));

  reader.set_handler(
      [](const emu::ReaderRequest& r) { return emu::ReaderReply::packet(r.address, r.type, r.payload); });
  packet = request({4, 5, 6});
  EXPECT_EQ(reader_exchange(device, 9, packet, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(payload_of(packet), (Bytes{4, 5, 6}));
}

TEST_F(ReaderTransport, AReplyLaterThanTheTimeOutWaitsWholeForTheNextRead) {
  emu::ReaderEmulator& reader = plug("reader");
  reader.set_report_delay(milliseconds(500));
  platform::HidDevice device = open_reader();
  ReaderPacket packet = request(counting(3));
  EXPECT_EQ(reader_exchange(device, 9, packet, 20), TransportResult::timed_out);

  std::array<uint8_t, kReportSize> report{};
  ASSERT_EQ(hid_read_report(device, report, kTimeoutMs), TransportResult::ok);
  const Bytes expected = emu::encode_reply(9, kPacketTypeCommand, counting(3));
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), report.begin()));
}

TEST_F(ReaderTransport, AReplyQueuedBeforeARequestIsNotTakenForItsAnswer) {
  emu::ReaderEmulator& reader = plug("reader");
  reader.set_report_delay(milliseconds(300));
  platform::HidDevice device = open_reader();
  ReaderPacket late = request({0x0A});
  EXPECT_EQ(reader_exchange(device, 9, late, 20), TransportResult::timed_out);
  ASSERT_TRUE(reader.wait_for_requests(1, milliseconds(kTimeoutMs)));
  std::this_thread::sleep_for(milliseconds(600));  // the late reply is in by now

  reader.set_report_delay(milliseconds(0));
  ReaderPacket next = request({0x0B});
  ASSERT_EQ(reader_exchange(device, 9, next, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(payload_of(next), Bytes{0x0B});
}

// A server of the emulator's protocol that sends exactly what the test says,
// when it says it: transfers in pieces, with pauses between them.
class HandMadeReader {
 public:
  explicit HandMadeReader(const std::string& path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
  }
  ~HandMadeReader() {
    if (client_ >= 0) ::close(client_);
    ::close(listener_);
  }
  // Takes the kit's connection and sends the attribute bytes.
  void accept() {
    client_ = ::accept(listener_, nullptr, nullptr);
    send({0x25, 0x09, 0x52, 0x45});
  }
  void send(const Bytes& bytes) {
    ASSERT_EQ(::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

 private:
  int listener_ = -1;
  int client_ = -1;
};

// One 65-byte transfer carrying a report filled with `fill`.
Bytes transfer_of(uint8_t fill) {
  Bytes t(kReportSize + 1, fill);
  t[0] = 0x00;
  return t;
}

TEST_F(ReaderTransport, AFlushDropsATransferThatHadOnlyBegunToArrive) {
  HandMadeReader reader(folder_ + "/reader");
  platform::HidDevice device;
  std::thread opener([&] { device = reader_open(); });
  reader.accept();
  opener.join();
  ASSERT_TRUE(device.is_open());

  // A stale report is half in when the kit discards what is queued.
  const Bytes stale = transfer_of(0x5A);
  reader.send(Bytes(stale.begin(), stale.begin() + 30));
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_TRUE(device.flush());
  // Its rest and a fresh report arrive afterwards: the fresh one is read,
  // and the framing of the stream holds.
  reader.send(Bytes(stale.begin() + 30, stale.end()));
  reader.send(transfer_of(0xF1));
  std::array<uint8_t, kReportSize> report{};
  ASSERT_EQ(hid_read_report(device, report, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(report[0], 0xF1);
  EXPECT_EQ(report[63], 0xF1);
  EXPECT_EQ(hid_read_report(device, report, 50), TransportResult::timed_out);
}

TEST(LoopbackAddress, OneParserForEverySystem) {
  struct Case {
    const char* line;
    bool accepted;
    bool v6 = false;
    std::array<uint8_t, 4> v4{};
    uint16_t port = 0;
  };
  const Case cases[] = {
      {"127.0.0.1:7001", true, false, {127, 0, 0, 1}, 7001},
      {"127.1.2.3:1", true, false, {127, 1, 2, 3}, 1},
      {"127.255.255.255:65535", true, false, {127, 255, 255, 255}, 65535},
      {"[::1]:7001", true, true, {}, 7001},
      {"[0:0:0:0:0:0:0:1]:80", true, true, {}, 80},
      {"[0::1]:80", true, true, {}, 80},
      {"[::0:0001]:80", true, true, {}, 80},
      // Not loopback, not an address, not a port.
      {"10.1.2.3:7001", false},
      {"128.0.0.1:7001", false},
      {"localhost:7001", false},
      {"127.0.0.1", false},
      {"127.0.0.1:", false},
      {"127.0.0.1:0", false},
      {"127.0.0.1:65536", false},
      {"127.0.0.1:007001", false},
      {"127.0.0.1:7x", false},
      {"127.0.0.1:+7001", false},
      {"127.0.0.1: 7001", false},
      {" 127.0.0.1:7001", false},
      {"127.0.0.01:7001", false},  // leading zeros read as octal elsewhere
      {"0127.0.0.1:7001", false},
      {"127.0.0.256:1", false},
      {"127.0.0:1", false},
      {"127.0.0.1.1:1", false},
      {"127..0.1:1", false},
      {"[::2]:7001", false},
      {"[::1]", false},
      {"::1:7001", false},
      {"[::1%lo]:7001", false},
      {"[::ffff:127.0.0.1]:7001", false},
      {"[1::1::1]:7001", false},
      {"[:::1]:7001", false},
      {"[0:0:0:0:0:0:0:0:1]:7001", false},
      {"[00000::1]:7001", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    platform::net::LoopbackAddress address;
    address.port = 4242;
    ASSERT_EQ(platform::parse_loopback_address(c.line, address), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(address.port, 4242) << "a refused line changes nothing";
      continue;
    }
    EXPECT_EQ(address.v6, c.v6);
    if (!c.v6) {
      EXPECT_EQ(address.v4, c.v4);
    }
    EXPECT_EQ(address.port, c.port);
  }
}

TEST_F(ReaderTransport, PacedRepliesArriveWhole) {
  emu::ReaderEmulator& reader = plug("reader");
  reader.set_report_delay(milliseconds(1));
  platform::HidDevice device = open_reader();
  const Bytes payload = counting(291);
  ReaderPacket packet = request(payload);
  ASSERT_EQ(reader_exchange(device, 3, packet, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(payload_of(packet), payload);
}

TEST_F(ReaderTransport, AnUnpluggedReaderFailsEveryTransfer) {
  emu::ReaderEmulator& reader = plug("reader");
  platform::HidDevice device = open_reader();
  reader.unplug();
  EXPECT_FALSE(std::filesystem::exists(reader.path()));
  ReaderPacket packet = request({1});
  EXPECT_EQ(reader_exchange(device, 1, packet, kTimeoutMs), TransportResult::io_failed);
  std::array<uint8_t, kReportSize> report{};
  EXPECT_EQ(hid_write_report(device, report, kTimeoutMs), TransportResult::io_failed);
  EXPECT_FALSE(reader_open().is_open());
}

TEST_F(ReaderTransport, ReadersOpenOnceEachInNameOrder) {
  emu::ReaderEmulator& second = plug("reader-b");
  emu::ReaderEmulator& first = plug("reader-a");

  platform::HidDevice a = reader_open();
  ASSERT_TRUE(a.is_open());
  EXPECT_TRUE(first.connected());
  EXPECT_FALSE(second.connected());
  platform::HidDevice b = reader_open();
  ASSERT_TRUE(b.is_open());
  EXPECT_TRUE(second.connected());
  EXPECT_FALSE(reader_open().is_open());
  // Readers this process holds are passed over without a connection.
  EXPECT_EQ(first.refused_connections(), 0u);
  EXPECT_EQ(second.refused_connections(), 0u);

  // Each device talks to its own reader.
  ReaderPacket packet = request({0xB});
  ASSERT_EQ(reader_exchange(b, 2, packet, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(first.requests().size(), 0u);
  EXPECT_EQ(second.requests().size(), 1u);

  // Once let go, the first reader is found again.
  a.close();
  ASSERT_TRUE(eventually([&] { return !first.connected(); }));
  platform::HidDevice again = reader_open();
  EXPECT_TRUE(again.is_open());
  EXPECT_TRUE(first.connected());
}

TEST_F(ReaderTransport, InterfacesOfOtherDevicesAreSkipped) {
  emu::ReaderEmulator& other_vendor = plug("a", emu::Carrier::unix_socket, 0x0926, kReaderProductId);
  emu::ReaderEmulator& other_product = plug("b", emu::Carrier::unix_socket, kReaderVendorId, 0x4553);
  emu::ReaderEmulator& swapped = plug("c", emu::Carrier::unix_socket, kReaderProductId, kReaderVendorId);
  emu::ReaderEmulator& reader = plug("d");
  // Neither a socket nor a ".tcp" file: not an interface.
  std::ofstream(folder_ + "/0-notes.txt") << "127.0.0.1:1\n";
  std::filesystem::create_directory(folder_ + "/0-folder.tcp");

  platform::HidDevice device = open_reader();
  EXPECT_TRUE(reader.connected());
  EXPECT_TRUE(eventually(
      [&] { return !other_vendor.connected() && !other_product.connected() && !swapped.connected(); }));
  EXPECT_FALSE(reader_open().is_open());
}

TEST_F(ReaderTransport, AReaderHeldByAnotherClientIsSkipped) {
  emu::ReaderEmulator& reader = plug("reader");
  // Another program holds the reader.
  const int other = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(other, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, reader.path().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(other, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  std::array<uint8_t, 4> attributes{};
  ASSERT_EQ(::recv(other, attributes.data(), attributes.size(), MSG_WAITALL), 4);
  EXPECT_EQ(attributes, (std::array<uint8_t, 4>{0x25, 0x09, 0x52, 0x45}));

  EXPECT_FALSE(reader_open().is_open());
  EXPECT_EQ(reader.refused_connections(), 1u);

  ::close(other);
  ASSERT_TRUE(eventually([&] { return !reader.connected(); }));
  EXPECT_TRUE(reader_open().is_open());
}

TEST_F(ReaderTransport, ATcpReaderWorksAndOnlyLoopbackAddressesAreTried) {
  const char* refused[] = {"10.1.2.3:7001",   "localhost:7001", "127.0.0.1",  "127.0.0.1:0",
                           "127.0.0.1:70000", "127.0.0.1:7x",   "[::2]:7001", ""};
  int index = 0;
  for (const char* line : refused)
    std::ofstream(folder_ + "/0-bad-" + std::to_string(index++) + ".tcp") << line << "\n";
  emu::ReaderEmulator& reader = plug("reader", emu::Carrier::tcp);
  EXPECT_EQ(reader.path(), folder_ + "/reader.tcp");

  platform::HidDevice device = open_reader();
  const Bytes payload = counting(100);
  ReaderPacket packet = request(payload);
  ASSERT_EQ(reader_exchange(device, 300, packet, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(payload_of(packet), payload);
  EXPECT_FALSE(reader_open().is_open());
}

TEST_F(ReaderTransport, CarriersShareOneNameOrder) {
  emu::ReaderEmulator& by_socket = plug("b");
  emu::ReaderEmulator& by_tcp = plug("a", emu::Carrier::tcp);
  platform::HidDevice first = open_reader();
  EXPECT_TRUE(by_tcp.connected());
  EXPECT_FALSE(by_socket.connected());
}

TEST_F(ReaderTransport, TheEmulatorDropsReportsOfAnAbandonedRequest) {
  emu::ReaderEmulator& reader = plug("reader");
  platform::HidDevice device = open_reader();
  // Half a request whose sender gave up: its reports hold no packet.
  std::array<uint8_t, kReportSize> stray{};
  stray.fill(0x55);
  ASSERT_EQ(hid_write_report(device, stray, kTimeoutMs), TransportResult::ok);

  ReaderPacket packet = request(counting(70));
  ASSERT_EQ(reader_exchange(device, 4, packet, kTimeoutMs), TransportResult::ok);
  EXPECT_EQ(payload_of(packet), counting(70));
  EXPECT_EQ(reader.dropped_reports(), 1u);
  EXPECT_EQ(reader.requests().size(), 1u);
}

TEST_F(ReaderTransport, ReadersExchangeInParallelEachInOrder) {
  emu::ReaderEmulator* readers[] = {&plug("a"), &plug("b")};
  platform::HidDevice devices[] = {open_reader(), open_reader()};
  constexpr int kExchanges = 40;
  std::atomic<int> failures{0};
  auto run = [&](int which) {
    for (int i = 0; i < kExchanges; ++i) {
      const Bytes payload = counting(static_cast<size_t>(1 + i * 7), static_cast<uint8_t>(i));
      ReaderPacket packet = request(payload);
      if (reader_exchange(devices[which], static_cast<uint16_t>(which), packet, kTimeoutMs) !=
              TransportResult::ok ||
          payload_of(packet) != payload)
        ++failures;
    }
  };
  std::thread t0(run, 0), t1(run, 1);
  t0.join();
  t1.join();
  EXPECT_EQ(failures.load(), 0);
  for (int which = 0; which < 2; ++which) {
    const auto log = readers[which]->requests();
    ASSERT_EQ(log.size(), static_cast<size_t>(kExchanges));
    for (int i = 0; i < kExchanges; ++i) {
      EXPECT_EQ(log[static_cast<size_t>(i)].address, which);
      EXPECT_EQ(log[static_cast<size_t>(i)].payload.size(), static_cast<size_t>(1 + i * 7));
    }
  }
}

}  // namespace
}  // namespace kk::cardkit
