// Win32 files: opened with read sharing, appended at the end, closed again.
//
// Not sharing write access makes the open itself the lock between writers of
// every thread and process (two hosts may log to one hourly file): the one
// that holds the file seeks to its end and writes the whole line, and a
// writer that finds the file held tries again for a short while before it
// gives up. A lock of the process could not do this across processes, and a
// thread the system ends while it writes (at process exit) leaves a held
// file behind, not a lock that hangs the next writer.
#include "platform/files.h"

#include <windows.h>

namespace kk::platform {

namespace {
constexpr DWORD kHeldRetryMs = 500;
}  // namespace

bool append_to_file(const std::string& path, std::string_view bytes) {
  const DWORD start = GetTickCount();
  HANDLE file = INVALID_HANDLE_VALUE;
  for (;;) {
    file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount() - start > kHeldRetryMs) return false;
    Sleep(1);
  }
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok != FALSE && written == bytes.size();
}

bool make_directory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr) != FALSE) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace kk::platform
