// A plain mutex for the emulated device library. The Windows toolchain's C++
// library has no std::mutex (win32 thread model), so both platforms use their
// own primitive behind this one small class.
#pragma once

#if defined(_WIN32)
#include "windows_include.h"
#else
#include <pthread.h>
#include <time.h>
#endif

#include <cstdint>

namespace emu {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
#if defined(_WIN32)
  void Lock() { AcquireSRWLockExclusive(&lock_); }
  void Unlock() { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* Native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
#else
  void Lock() { pthread_mutex_lock(&lock_); }
  void Unlock() { pthread_mutex_unlock(&lock_); }
  pthread_mutex_t* Native() { return &lock_; }

 private:
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

class ScopedLock {
 public:
  explicit ScopedLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ScopedLock() { mutex_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable used with Mutex.
class CondVar {
 public:
#if defined(_WIN32)
  CondVar() = default;
  void Wait(Mutex& mutex) { SleepConditionVariableSRW(&cv_, mutex.Native(), INFINITE, 0); }
  void WaitFor(Mutex& mutex, uint32_t ms) {
    SleepConditionVariableSRW(&cv_, mutex.Native(), ms, 0);
  }
  void NotifyAll() { WakeAllConditionVariable(&cv_); }
#else
  CondVar() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cv_, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~CondVar() { pthread_cond_destroy(&cv_); }
  void Wait(Mutex& mutex) { pthread_cond_wait(&cv_, mutex.Native()); }
  void WaitFor(Mutex& mutex, uint32_t ms) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += long(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&cv_, mutex.Native(), &until);
  }
  void NotifyAll() { pthread_cond_broadcast(&cv_); }
#endif
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

 private:
#if defined(_WIN32)
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
#else
  pthread_cond_t cv_;
#endif
};

inline void SleepMs(uint32_t ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  timespec wait{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
#endif
}

// Milliseconds of a monotonic clock.
inline uint64_t NowMs() {
#if defined(_WIN32)
  return GetTickCount64();
#else
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
#endif
}

}  // namespace emu
