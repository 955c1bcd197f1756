#pragma once
// Whether this test binary runs under ThreadSanitizer. libX11 unlocks a
// display mutex it does not hold when a connection dies and the program
// carries on (the documented way to survive a lost server), which TSan
// rightly reports; tests of a vanishing server skip themselves there.
#if defined(__SANITIZE_THREAD__)
#define TOLVANE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOLVANE_TSAN 1
#endif
#endif
#ifndef TOLVANE_TSAN
#define TOLVANE_TSAN 0
#endif
