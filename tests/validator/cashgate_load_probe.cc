// Loads the library named by its argument the way a host application would
// (lazy binding requested, so only the library's own immediate binding can
// make a missing import fail the load). Prints the loader's message and
// exits 1 when the load fails, 0 when it succeeds.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* library = dlopen(argv[1], RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("%s\n", dlerror());
    return 1;
  }
  dlclose(library);
  return 0;
}
