#pragma once

// Clang's thread-safety annotations (-Wthread-safety). They let the compiler
// check that a member marked ZQ_GUARDED_BY(lock) is only touched with the lock
// held and that a function marked ZQ_REQUIRES(lock) is only called so. Other
// compilers see nothing.
#if defined(__clang__)
#define ZQ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZQ_THREAD_ANNOTATION(x)
#endif

#define ZQ_CAPABILITY(x) ZQ_THREAD_ANNOTATION(capability(x))
#define ZQ_SCOPED_CAPABILITY ZQ_THREAD_ANNOTATION(scoped_lockable)
#define ZQ_GUARDED_BY(x) ZQ_THREAD_ANNOTATION(guarded_by(x))
#define ZQ_PT_GUARDED_BY(x) ZQ_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZQ_REQUIRES(...) ZQ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZQ_EXCLUDES(...) ZQ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZQ_ACQUIRE(...) ZQ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZQ_RELEASE(...) ZQ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZQ_RETURN_CAPABILITY(x) ZQ_THREAD_ANNOTATION(lock_returned(x))
#define ZQ_NO_THREAD_SAFETY_ANALYSIS ZQ_THREAD_ANNOTATION(no_thread_safety_analysis)
