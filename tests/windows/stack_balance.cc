// Every export of the kit's DLLs called the way a host in another language
// calls it: looked up by its plain name with GetProcAddress and called with
// the convention its header declares, each argument zero (so every pointer
// is null and every export must refuse it, not crash). On 32-bit Windows
// the call goes through a thunk that checks the stack pointer and the
// registers the convention preserves: an export built with another
// convention than its declaration leaves the stack off by its argument bytes
// (or pops them twice), which a VB6 or .NET host turns into a crash.
//
// Usage: stack_balance <library>=<path of the DLL>...   (the libraries of the
// generated table exports_table.inc; one not given is not checked)
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "cardkit.h"
#include "cashgate.h"
#include "notecore.h"
#include "patronlink.h"

namespace {

// Dismisses a message box an export shows (patronlink's, when ConnectDB
// fails) as soon as it is up, so that the call returns.
HHOOK g_hook = nullptr;
LRESULT CALLBACK dismiss_boxes(int code, WPARAM wparam, LPARAM lparam) {
  const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lparam);
  if (code == HC_ACTION && message->message == WM_INITDIALOG)
    PostMessageA(message->hwnd, WM_COMMAND, IDOK, 0);
  return CallNextHookEx(g_hook, code, wparam, lparam);
}

template <typename T>
constexpr uint32_t dwords() {
  return static_cast<uint32_t>((sizeof(T) + 3) / 4);
}

#if defined(__i386__)
// stack_call(fn, args, count): pushes `count` dwords of `args` (the last
// first), calls fn, and returns how far the stack pointer ended up from
// where it was before the pushes: 0 when fn removed exactly its arguments,
// as __stdcall does. -1 when fn did not keep ebx, esi or edi.
extern "C" int32_t stack_call(const void* fn, const uint32_t* args, uint32_t count);
asm(R"(
  .text
  .globl _stack_call
_stack_call:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 16(%ebp), %ecx
  movl 12(%ebp), %esi
1:
  testl %ecx, %ecx
  jz 2f
  decl %ecx
  pushl (%esi,%ecx,4)
  jmp 1b
2:
  movl $0x5a5a5a5a, %ebx
  movl $0xa5a5a5a5, %esi
  movl $0x3c3c3c3c, %edi
  call *8(%ebp)
  leal -12(%ebp), %ecx
  movl %esp, %eax
  subl %ecx, %eax
  movl %ecx, %esp
  cmpl $0x5a5a5a5a, %ebx
  jne 3f
  cmpl $0xa5a5a5a5, %esi
  jne 3f
  cmpl $0x3c3c3c3c, %edi
  je 4f
3:
  movl $-1, %eax
4:
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
#endif

// Calls the export at `address` as a function of type `Fn` with zero
// arguments. Returns the stack drift in bytes (always 0 on 64-bit Windows,
// which has one convention).
template <typename R, typename... Args>
int32_t call_with_zeros(FARPROC address, R(KIOSKKIT_CALL*)(Args...)) {
#if defined(__i386__)
  static_assert(((sizeof(Args) <= 4) && ...), "the thunk passes dword arguments");
  const uint32_t zeros[sizeof...(Args) + 1] = {};
  return stack_call(reinterpret_cast<const void*>(address), zeros, (dwords<Args>() + ... + 0));
#else
  using Fn = R(KIOSKKIT_CALL*)(Args...);
  // Through void (*)(): a function address of no particular type.
  reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address))(Args{}...);
  return 0;
#endif
}

struct Export {
  const char* library;
  const char* name;
  int32_t (*call)(FARPROC);
};

#define KK_EXPORT(library, name) \
  {#library, #name,              \
   [](FARPROC address) { return call_with_zeros(address, static_cast<decltype(&::name)>(nullptr)); }},

const Export kExports[] = {
#include "exports_table.inc"
};

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (equals != nullptr) paths[std::string(argv[i], static_cast<size_t>(equals - argv[i]))] = equals + 1;
  }
  g_hook = SetWindowsHookExA(WH_CALLWNDPROCRET, dismiss_boxes, nullptr, GetCurrentThreadId());

  std::map<std::string, HMODULE> modules;
  int passed = 0, failed = 0;
  for (const Export& e : kExports) {
    const auto path = paths.find(e.library);
    if (path == paths.end()) continue;
    HMODULE& module = modules[e.library];
    if (module == nullptr) {
      // A full path, so that the DLLs it imports are found beside it.
      char full[MAX_PATH] = {};
      GetFullPathNameA(path->second.c_str(), sizeof full, full, nullptr);
      module = LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (module == nullptr) {
      std::printf("FAILED %s: %s does not load (error %lu)\n", e.name, path->second.c_str(), GetLastError());
      ++failed;
      continue;
    }
    const FARPROC address = GetProcAddress(module, e.name);
    if (address == nullptr) {
      std::printf("FAILED %s: %s has no export of that name\n", e.name, e.library);
      ++failed;
      continue;
    }
    const int32_t drift = e.call(address);
    if (drift != 0) {
      std::printf("FAILED %s: %s\n", e.name,
                  drift == -1 ? "registers the convention keeps were changed" : "the stack is unbalanced");
      ++failed;
      continue;
    }
    ++passed;
  }
  for (const auto& [name, module] : modules)
    if (module != nullptr) FreeLibrary(module);
  std::printf("stack balance (%s): %d passed, %d failed\n", sizeof(void*) == 4 ? "i686" : "x86_64", passed,
              failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
