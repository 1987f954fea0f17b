// Included once by each test program that forks after starting threads.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define XRAY_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define XRAY_TEST_TSAN 1
#endif
#endif

#if defined(XRAY_TEST_TSAN)
// The fork tests start the child's own pool in a child of a threaded
// process, which the thread sanitizer refuses unless told otherwise.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif
