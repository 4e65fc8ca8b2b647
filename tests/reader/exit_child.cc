// A host process for the exit test: loads the library, waits until it has
// attached the reader, then exits with the reader threads running.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  using ReadDevList = unsigned (*)(unsigned short*, unsigned);
  auto readdevlist = reinterpret_cast<ReadDevList>(dlsym(library, "readdevlist"));
  if (readdevlist == nullptr) return 4;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (readdevlist(nullptr, 0) != 1) {
    if (std::chrono::steady_clock::now() > deadline) return 5;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::exit(0);
}
