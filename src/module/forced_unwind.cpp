// Threads that glibc ends in the middle of an SDK call.
//
// The interpreter ends a daemon thread with pthread_exit when it wakes up to
// take the GIL while the interpreter is finalizing, and pthread_exit unwinds
// the thread (a "forced unwind", run by libgcc_s).  If the thread was inside
// one of our calls (waiting for log_lock, say), the unwind reaches our frames
// with the GIL not held, and their cleanups would release Python objects and
// call the lock's release() without it: memory the interpreter is tearing
// down at that moment.  In the portable build it is worse: our C++ runtime
// (libc++abi with LLVM's libunwind, linked statically and hidden) is handed a
// libgcc unwind context it cannot read, and the process ends with SIGSEGV.
//
// The link wraps the personality routine of our frames
// (-Wl,--wrap=__gxx_personality_v0, with VQSDK_WRAP_PERSONALITY, both set by
// setup.py): a forced unwind passes through them without running anything
// and without reading the context, and the thread vanishes as the interpreter
// meant it to.  Whatever it held stays held; the process is ending.  Every
// other unwind (our own exceptions) goes to the C++ runtime's routine.
#ifdef VQSDK_WRAP_PERSONALITY

#include <cstdint>

namespace {
// From the C++ ABI's unwind interface (<unwind.h>).
constexpr int kForceUnwind = 8;     // _UA_FORCE_UNWIND
constexpr int kContinueUnwind = 8;  // _URC_CONTINUE_UNWIND
}  // namespace

extern "C" int __real___gxx_personality_v0(int version, int actions, std::uint64_t exception_class,
                                           void* exception, void* context);

extern "C" int __wrap___gxx_personality_v0(int version, int actions, std::uint64_t exception_class,
                                           void* exception, void* context) {
    if (actions & kForceUnwind) return kContinueUnwind;
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

#endif
