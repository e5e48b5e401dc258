// Checks of the adapter's invariants (connection counts and states, queue and parser states).
// On in debug and sanitizer builds, where a broken invariant stops the process at once with
// the place and the condition; compiled out of release builds, where the hot path runs.
#pragma once

#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TNLRELAY_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TNLRELAY_SANITIZED 1
#endif

#if !defined(NDEBUG) || defined(TNLRELAY_SANITIZED)
#define TNLRELAY_ASSERTS_ON 1
#define TNLRELAY_ASSERT(cond)                                                                      \
    ((cond) ? void(0) : ::tnlrelay::net::assertFailed(#cond, __FILE__, __LINE__))
#else
#define TNLRELAY_ASSERTS_ON 0
#define TNLRELAY_ASSERT(cond) void(0)
#endif

namespace tnlrelay::net {

[[noreturn]] inline void assertFailed(const char* cond, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, cond);
    std::abort();
}

} // namespace tnlrelay::net
