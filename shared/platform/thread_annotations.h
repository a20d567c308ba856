// Clang's thread-safety attributes, so that the compiler checks which lock
// guards which field (-Wthread-safety). Other compilers see nothing.
#ifndef TERVANE_SHARED_PLATFORM_THREAD_ANNOTATIONS_H_
#define TERVANE_SHARED_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TERVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TERVANE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TERVANE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TERVANE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TERVANE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TERVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TERVANE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TERVANE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TERVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TERVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TERVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TERVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TERVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TERVANE_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TERVANE_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TERVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // TERVANE_SHARED_PLATFORM_THREAD_ANNOTATIONS_H_
