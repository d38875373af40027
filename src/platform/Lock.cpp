#include "Lock.h"

#include <cerrno>
#include <ctime>

#include "Check.h"

namespace velkaro {

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

bool Lock::tryLockFor(int milliseconds) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += long(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    int ret = pthread_mutex_clocklock(&_lock, CLOCK_MONOTONIC, &until);
    VK_CHECK(ret == 0 || ret == ETIMEDOUT);
    return ret == 0;
}

}  // namespace velkaro
