#include "ThreadExitOrder.h"

#if defined(__MINGW32__) && defined(__GNUC__)
#include <cxxabi.h>
#endif

#include <thread>

// With MinGW-w64's threading library, a thread's thread-local storage (GCC's
// emulated TLS) and the destructors of its thread-local objects (libstdc++'s
// list) are two cleanups of that library, run at the thread's end in the
// order their keys were made. Left to itself the storage's key comes first,
// made by the first use of any thread-local variable, and so the storage is
// freed before the destructors run on it: Qt's regular expressions then free
// a JIT stack through whatever the freed memory holds, at the end of every
// thread that matched one. The access violation is swallowed by the loader
// in the thread's detach, with the threading library's key lock still taken,
// and the process hangs at its exit in libstdc++'s detach, which waits for
// that lock (seen under wine after an update whose hub was unplugged).
//
// Registering one destructor before anything else makes the destructors' key
// first. Priority 101 runs this before the program's other initialisers; that
// the libraries initialised before the program (Qt's) use no thread-local
// variable is held by test_windows and by the demo's check.

namespace WinSys {
namespace {

bool g_kept = false;

#if defined(__MINGW32__) && defined(__GNUC__)
int g_anchor = 0;

void nothing(void*) {}

__attribute__((constructor(101))) void registerFirst() {
    g_kept = abi::__cxa_thread_atexit(&nothing, &g_anchor, nullptr) == 0;
}
#endif

// What a thread-local destructor sees of its thread's other thread-local
// storage: the thread's own value, or a fresh one once that was freed.
thread_local int t_marker = 0;
int g_markerSeen = -1;
struct SeesTheMarker {
    int touched = 0;
    ~SeesTheMarker() { g_markerSeen = t_marker; }
};
thread_local SeesTheMarker t_seer;

} // namespace

bool threadExitOrderKept() {
    return g_kept;
}

bool threadExitOrderHolds() {
    g_markerSeen = -1;
    std::thread([] {
        t_marker = 1;
        t_seer.touched = 1;
    }).join();
    return g_markerSeen == 1;
}

} // namespace WinSys
