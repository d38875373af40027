#pragma once

#include <pthread.h>

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
    // Takes the lock when it is free; false at once when another thread holds it.
    bool tryLock();

private:
    pthread_mutex_t _lock;
};
