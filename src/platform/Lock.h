#pragma once

#include <pthread.h>

namespace velkaro {

// A plain non-recursive mutex whose failures stop the process. Take it through std::lock_guard
// (it is BasicLockable) so that every way out unlocks it.
class Lock {
  public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    void unlock();
    // Takes the lock, waiting at most `milliseconds` for another thread to release it; false when
    // it did not come free in that time.
    bool tryLockFor(int milliseconds);

  private:
    pthread_mutex_t _lock;
};

}  // namespace velkaro
