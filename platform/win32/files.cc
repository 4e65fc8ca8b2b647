// Win32 files: opened for appending only, one write, closed again.
//
// Append access makes each write go whole to the end of the file, and
// sharing write access means no writer is ever turned away by another: not
// by another process logging to the same file, and not by a thread that the
// system ended in the middle of a write at process exit (its handle stays
// open, and a lock of the file would stay held with it). Writers of this
// process also take turns, because Wine appends through separate handles in
// two steps that can interleave; the turn is waited for only briefly, since
// its holder may be such an ended thread.
#include "platform/files.h"

#include <windows.h>

namespace kk::platform {

namespace {
SRWLOCK g_append_turn = SRWLOCK_INIT;  // needs no set-up and no teardown
constexpr DWORD kTurnWaitMs = 100;
}  // namespace

bool append_to_file(const std::string& path, std::string_view bytes) {
  const DWORD start = GetTickCount();
  bool turn = false;
  while (!(turn = TryAcquireSRWLockExclusive(&g_append_turn) != FALSE) &&
         GetTickCount() - start < kTurnWaitMs)
    Sleep(1);
  bool ok = false;
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
         written == bytes.size();
    CloseHandle(file);
  }
  if (turn) ReleaseSRWLockExclusive(&g_append_turn);
  return ok;
}

bool make_directory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr) != FALSE) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace kk::platform
