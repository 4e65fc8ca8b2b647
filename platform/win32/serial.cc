// Win32 serial ports: overlapped I/O on "\\.\COM<n>". The port owns the
// buffers its overlapped operations use, so an operation that is still
// under way when a call returns never touches the caller's memory; an
// unfinished operation is aborted and collected before its record is reused.
#include "platform/serial.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace kk::platform {

namespace {
constexpr size_t kIoBufferSize = 1024;
constexpr DWORD kQueueSize = 10000;
}  // namespace

struct SerialDevice::Impl {
  HANDLE port = INVALID_HANDLE_VALUE;
  OVERLAPPED read_record{};
  OVERLAPPED write_record{};
  bool read_pending = false;
  bool write_pending = false;
  std::array<uint8_t, kIoBufferSize> read_buffer{};
  std::array<uint8_t, kIoBufferSize> write_buffer{};
  // The wait for received characters (WaitCommEvent on EV_RXCHAR), made on
  // the first wait_input and kept armed between waits.
  OVERLAPPED input_record{};
  DWORD input_events = 0;
  bool input_pending = false;

  // Ends an operation the port has not finished: abort it, then wait for the
  // abort so the record and buffer are free again.
  void settle(OVERLAPPED& record, bool& pending, DWORD abort_flag) {
    if (!pending) return;
    DWORD ignored = 0;
    if (!HasOverlappedIoCompleted(&record)) PurgeComm(port, abort_flag);
    GetOverlappedResult(port, &record, &ignored, TRUE);
    pending = false;
  }

  void release() {
    if (port != INVALID_HANDLE_VALUE) {
      settle(read_record, read_pending, PURGE_RXABORT);
      settle(write_record, write_pending, PURGE_TXABORT);
      end_input_wait();
    }
    if (input_record.hEvent != nullptr) CloseHandle(input_record.hEvent);
    input_record = OVERLAPPED{};
    if (read_record.hEvent != nullptr) CloseHandle(read_record.hEvent);
    if (write_record.hEvent != nullptr) CloseHandle(write_record.hEvent);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    read_record = OVERLAPPED{};
    write_record = OVERLAPPED{};
    port = INVALID_HANDLE_VALUE;
  }

  // A wait still armed completes when the event mask is cleared.
  void end_input_wait() {
    if (!input_pending) return;
    SetCommMask(port, 0);
    DWORD ignored = 0;
    GetOverlappedResult(port, &input_record, &ignored, TRUE);
    input_pending = false;
  }

  enum class InputWait { armed, came, unavailable };

  // Arms the wait for the next received character. `came` when one has come
  // since the last wait (the wait completed at once; the caller looks at the
  // queue), `unavailable` when the port cannot be waited on.
  InputWait arm_input_wait() {
    if (input_pending) return InputWait::armed;
    if (input_record.hEvent == nullptr) {
      // The mask is set once: characters that come between two waits stay
      // in the port's event history and complete the next wait at once.
      input_record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (input_record.hEvent == nullptr) return InputWait::unavailable;
      if (SetCommMask(port, EV_RXCHAR) == FALSE) {
        CloseHandle(input_record.hEvent);
        input_record.hEvent = nullptr;
        return InputWait::unavailable;
      }
    }
    ResetEvent(input_record.hEvent);
    input_events = 0;
    if (WaitCommEvent(port, &input_events, &input_record) != FALSE) return InputWait::came;
    if (GetLastError() != ERROR_IO_PENDING) return InputWait::unavailable;
    input_pending = true;
    return InputWait::armed;
  }
};

std::string serial_device_path(int32_t port_number) {
  if (port_number <= 0) return {};
  // The device namespace form reaches COM10 and above as well.
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(port_number));
  return path;
}

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}
SerialDevice::~SerialDevice() { close(); }

bool SerialDevice::open(int32_t port_number, const SerialSettings& settings) {
  close();
  const std::string path = serial_device_path(port_number);
  if (path.empty()) return false;
  Impl& d = *impl_;
  d.port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (d.port == INVALID_HANDLE_VALUE) return false;

  DCB control{};
  control.DCBlength = sizeof control;
  GetCommState(d.port, &control);
  control.BaudRate = settings.baud;
  control.fParity = settings.parity != Parity::none ? TRUE : FALSE;
  control.Parity = settings.parity == Parity::odd    ? ODDPARITY
                   : settings.parity == Parity::even ? EVENPARITY
                                                     : NOPARITY;
  control.ByteSize = settings.data_bits == 7 ? 7 : 8;
  control.StopBits = settings.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  control.fDtrControl = DTR_CONTROL_ENABLE;
  control.fRtsControl = RTS_CONTROL_ENABLE;

  // A read returns at once with whatever is queued; a write may take 5 s.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = 5000;
  SetCommTimeouts(d.port, &timeouts);

  d.read_record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  d.write_record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const bool applied = SetCommState(d.port, &control) != FALSE;
  const bool queues = SetupComm(d.port, kQueueSize, kQueueSize) != FALSE;
  if (!applied || !queues || d.read_record.hEvent == nullptr || d.write_record.hEvent == nullptr) {
    d.release();
    return false;
  }
  return true;
}

void SerialDevice::close() { impl_->release(); }

bool SerialDevice::is_open() const { return impl_->port != INVALID_HANDLE_VALUE; }

void SerialDevice::purge_input() {
  Impl& d = *impl_;
  if (d.port == INVALID_HANDLE_VALUE) return;
  PurgeComm(d.port, PURGE_RXABORT | PURGE_RXCLEAR);
  d.settle(d.read_record, d.read_pending, PURGE_RXABORT);
}

void SerialDevice::purge_output() {
  Impl& d = *impl_;
  if (d.port == INVALID_HANDLE_VALUE) return;
  PurgeComm(d.port, PURGE_TXABORT | PURGE_TXCLEAR);
  d.settle(d.write_record, d.write_pending, PURGE_TXABORT);
}

int32_t SerialDevice::queued_input() {
  Impl& d = *impl_;
  if (d.port == INVALID_HANDLE_VALUE) return -1;
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(d.port, &errors, &status) == FALSE) return -1;
  return status.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(status.cbInQue);
}

SerialRead SerialDevice::read(std::span<uint8_t> into, size_t& got) {
  got = 0;
  Impl& d = *impl_;
  if (d.port == INVALID_HANDLE_VALUE) return SerialRead::failed;
  d.settle(d.read_record, d.read_pending, PURGE_RXABORT);
  const DWORD wanted = static_cast<DWORD>(into.size() < kIoBufferSize ? into.size() : kIoBufferSize);
  ResetEvent(d.read_record.hEvent);
  DWORD done = 0;
  if (ReadFile(d.port, d.read_buffer.data(), wanted, &done, &d.read_record) == FALSE) {
    if (GetLastError() != ERROR_IO_PENDING) return SerialRead::failed;
    d.read_pending = true;
    return SerialRead::pending;
  }
  std::memcpy(into.data(), d.read_buffer.data(), done);
  got = done;
  return SerialRead::done;
}

bool SerialDevice::write(std::span<const uint8_t> bytes, uint32_t wait_ms) {
  Impl& d = *impl_;
  if (d.port == INVALID_HANDLE_VALUE || bytes.size() > kIoBufferSize) return false;
  d.settle(d.write_record, d.write_pending, PURGE_TXABORT);
  std::memcpy(d.write_buffer.data(), bytes.data(), bytes.size());
  ResetEvent(d.write_record.hEvent);
  DWORD done = 0;
  if (WriteFile(d.port, d.write_buffer.data(), static_cast<DWORD>(bytes.size()), &done, &d.write_record) !=
      FALSE)
    return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  // The driver keeps the write queued; it goes out even if the wait ends
  // first, so both outcomes count as written.
  if (WaitForSingleObject(d.write_record.hEvent, wait_ms) == WAIT_OBJECT_0) {
    GetOverlappedResult(d.port, &d.write_record, &done, FALSE);
  } else {
    d.write_pending = true;
  }
  return true;
}

void SerialDevice::wait_input(size_t wanted, uint32_t limit_ms) {
  Impl& d = *impl_;
  const int32_t queued = queued_input();
  if (queued >= 0 && static_cast<size_t>(queued) >= wanted) return;
  const Impl::InputWait armed = queued >= 0 ? d.arm_input_wait() : Impl::InputWait::unavailable;
  if (armed == Impl::InputWait::came) return;
  if (armed == Impl::InputWait::unavailable) {
    SleepEx(limit_ms, TRUE);
    return;
  }
  // Bytes that came while the wait was being armed need no wait.
  if (const int32_t now_queued = queued_input(); now_queued > queued) return;
  // Ends on a received character, a new window message for this thread (the
  // caller dispatches it), a completion routine, or the limit.
  const DWORD woke =
      MsgWaitForMultipleObjectsEx(1, &d.input_record.hEvent, limit_ms, QS_ALLINPUT, MWMO_ALERTABLE);
  if (woke == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    GetOverlappedResult(d.port, &d.input_record, &ignored, FALSE);
    d.input_pending = false;
  }
}

void pump_messages() {
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace kk::platform
