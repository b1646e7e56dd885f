// Lock annotations that clang checks with -Wthread-safety; empty for other compilers.
#pragma once

#if defined(__clang__)
#define KV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) KV_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY KV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) KV_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) KV_THREAD_ANNOTATION(pt_guarded_by(lock))
#define ACQUIRED_BEFORE(...) KV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(lock) KV_THREAD_ANNOTATION(lock_returned(lock))
#define NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ANNOTATION(no_thread_safety_analysis)
