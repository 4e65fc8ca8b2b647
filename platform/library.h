// The life of a shared library that starts threads of its own (cardkit's
// reader threads): what ends them when the host unloads the library or the
// process exits, before the library's code and objects go away.
//
// POSIX systems run the library's static teardown (at dlclose, or at exit
// while every thread still runs), so `stop` runs there: it stops and joins
// the threads, and each writes its own closing lines.
//
// Windows cannot do that. The loader holds its lock while a library hears
// that it is being unloaded, and a thread needs that lock to leave, so a
// library that waits for its threads there waits forever; and at process
// exit the system ends every other thread before any library hears of it.
// So on Windows the library is pinned once its threads are about to start:
// FreeLibrary returns at once and leaves it loaded, with its threads and
// devices as they are (LoadLibrary again finds it running), and its code
// never goes away under a thread, nor under a host thread still inside one
// of its functions. It goes away only with the process; then `ended` runs
// instead of `stop`, alone in the process: the threads are gone, and any
// lock one of them held stays held, so it must not wait for one.
#pragma once

namespace kk::platform {

// Called once from the library's start routine, after everything the
// threads use has been built (so that a teardown destroys it afterwards).
// False when the library cannot be kept safe for threads (Windows: the
// module could not be pinned); the library must not start them then.
[[nodiscard]] bool bind_threads_to_library(void (*stop)(), void (*ended)());

}  // namespace kk::platform
