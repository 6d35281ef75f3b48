// The library's mutex, lock guard and condition variable, annotated for
// clang's thread-safety analysis: built with -Wthread-safety, the compiler
// proves that a field declared GUARDED_BY(m) is only touched with m held, that
// a function declared REQUIRES(m) is only called with m held, and (with
// -Wthread-safety-beta) that mutexes declared ACQUIRED_BEFORE one another are
// taken in that order. Other compilers see plain std::mutex code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define FTD2XX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define FTD2XX_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) FTD2XX_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY FTD2XX_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) FTD2XX_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) FTD2XX_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) FTD2XX_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) FTD2XX_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) FTD2XX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) FTD2XX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FTD2XX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) FTD2XX_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) FTD2XX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// Turns the analysis off for one function. Every use says why the analysis
// cannot follow that function's proof.
#define NO_THREAD_SAFETY_ANALYSIS FTD2XX_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace d2xx {

// std::mutex with a name the analysis knows. Constant-initialised, so a
// mutex at namespace scope is usable before any constructor has run.
class CAPABILITY("mutex") Mutex {
  public:
    constexpr Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class MutexLock;
    friend class CondVar;
    friend class LibraryLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope (std::unique_lock's role); unlock() and
// lock() let it go and take it again inside the scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

  private:
    std::unique_lock<std::mutex> lock_;
};

// A condition variable waited on with a Mutex held; every wait returns with
// it held again.
class CondVar {
  public:
    void wait(Mutex &mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cond_.wait(lock);
        lock.release();
    }
    // false when the deadline passed first.
    bool wait_until(Mutex &mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool woken = cond_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void notify_one() noexcept { cond_.notify_one(); }
    void notify_all() noexcept { cond_.notify_all(); }

  private:
    std::condition_variable cond_;  // waits on the steady clock
};

}  // namespace d2xx
