// Mutex, SharedMutex and their scoped guards, annotated for Clang's thread
// safety analysis: shared state names its mutex with GUARDED_BY, functions
// that expect a lock held say so with REQUIRES, and `make thread-safety`
// builds with -Wthread-safety so that an access without its lock fails to
// build. Under other compilers the annotations are empty. Every lock in the
// agent is taken through a guard of this header; the mutexes themselves may
// be used from any number of threads.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define OWL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OWL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OWL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OWL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OWL_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) OWL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) OWL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) OWL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) OWL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) OWL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) OWL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) OWL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

class CAPABILITY("mutex") Mutex {
  public:
    void Lock() ACQUIRE() { m_.lock(); }
    void Unlock() RELEASE() { m_.unlock(); }

  private:
    std::mutex m_;
};

// Holds a Mutex from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.Lock(); }
    ~MutexLock() RELEASE() { m_.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& m_;
};

// Many readers or one writer.
class CAPABILITY("shared mutex") SharedMutex {
  public:
    void Lock() ACQUIRE() { m_.lock(); }
    void Unlock() RELEASE() { m_.unlock(); }
    void LockShared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { m_.unlock_shared(); }

  private:
    std::shared_mutex m_;
};

// Holds a SharedMutex for reading from construction to destruction.
class SCOPED_CAPABILITY ReaderLock {
  public:
    explicit ReaderLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.LockShared(); }
    ~ReaderLock() RELEASE() { m_.UnlockShared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

  private:
    SharedMutex& m_;
};

// Holds a SharedMutex for writing from construction to destruction.
class SCOPED_CAPABILITY WriterLock {
  public:
    explicit WriterLock(SharedMutex& m) ACQUIRE(m) : m_(m) { m_.Lock(); }
    ~WriterLock() RELEASE() { m_.Unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

  private:
    SharedMutex& m_;
};
