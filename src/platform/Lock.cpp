#include "Lock.h"

#include "Check.h"

#include <cerrno>

Lock::Lock() {
    int ret = pthread_mutex_init(&_lock, nullptr);
    VK_CHECK(ret == 0);
}

Lock::~Lock() {
    int ret = pthread_mutex_destroy(&_lock);
    VK_CHECK(ret == 0);
}

void Lock::lock() {
    int ret = pthread_mutex_lock(&_lock);
    VK_CHECK(ret == 0);
}

void Lock::unlock() {
    int ret = pthread_mutex_unlock(&_lock);
    VK_CHECK(ret == 0);
}

bool Lock::tryLock() {
    int ret = pthread_mutex_trylock(&_lock);
    VK_CHECK(ret == 0 || ret == EBUSY);
    return ret == 0;
}
