// Clang's thread-safety analysis attributes. Under clang with
// -Wthread-safety the compiler checks that every GUARDED_BY member is touched
// only with its mutex held, and that REQUIRES functions are called with it;
// other compilers see empty macros. Use them with the Mutex and MutexLock of
// lib/base/mutex.h (std::mutex carries no attributes in libstdc++).
#pragma once

#if defined(__clang__)
#define SF_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SF_THREAD_ANNOTATION(x)
#endif

// A type that acts as a lock ("mutex").
#define CAPABILITY(x) SF_THREAD_ANNOTATION(capability(x))
// An RAII type that holds a capability for its lifetime.
#define SCOPED_CAPABILITY SF_THREAD_ANNOTATION(scoped_lockable)
// The member may be read or written only with `x` held.
#define GUARDED_BY(x) SF_THREAD_ANNOTATION(guarded_by(x))
// What the pointer points to may be touched only with `x` held.
#define PT_GUARDED_BY(x) SF_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order between capabilities (checked with -Wthread-safety-beta).
#define ACQUIRED_BEFORE(...) SF_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) SF_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller must hold the capabilities (exclusively / shared).
#define REQUIRES(...) SF_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) SF_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes / gives up the capabilities.
#define ACQUIRE(...) SF_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SF_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) SF_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the capabilities (the function takes them).
#define EXCLUDES(...) SF_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Tells the analysis that the capability is held here (checked at run time
// by the function, if at all).
#define ASSERT_CAPABILITY(x) SF_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the capability.
#define RETURN_CAPABILITY(x) SF_THREAD_ANNOTATION(lock_returned(x))
// Turns the analysis off for one function whose locking it cannot follow;
// say why next to each use.
#define NO_THREAD_SAFETY_ANALYSIS SF_THREAD_ANNOTATION(no_thread_safety_analysis)
