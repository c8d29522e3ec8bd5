// Clang's thread-safety annotations. A member names the lock that guards
// it, a function names the locks it needs held, takes or must not hold, and
// clang built with -Wthread-safety checks every access against them at
// compile time; nothing is checked or spent at run time. Other compilers
// see nothing.
#pragma once

#if defined(__clang__)
#define QUOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUOR_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(name) QUOR_THREAD_ANNOTATION(capability(name))

// A class that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY QUOR_THREAD_ANNOTATION(scoped_lockable)

// The member is read and written only with lock x held.
#define GUARDED_BY(x) QUOR_THREAD_ANNOTATION(guarded_by(x))

// What the pointer member points to is used only with lock x held.
#define PT_GUARDED_BY(x) QUOR_THREAD_ANNOTATION(pt_guarded_by(x))

// The caller must hold the locks.
#define REQUIRES(...) QUOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))

// The caller must not hold the locks: the function takes them itself.
#define EXCLUDES(...) QUOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes, or lets go of, the locks (no argument: this object).
#define ACQUIRE(...) QUOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

// Turns the check off for one function. Every use says why the analysis
// cannot follow it.
#define NO_THREAD_SAFETY_ANALYSIS QUOR_THREAD_ANNOTATION(no_thread_safety_analysis)
