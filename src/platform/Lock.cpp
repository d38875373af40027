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
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer of this compiler does not know pthread_mutex_clocklock and would see the
    // lock taken there as never taken; poll with the trylock it does know instead.
    for (int waited = 0;; ++waited) {
        int ret = pthread_mutex_trylock(&_lock);
        VK_CHECK(ret == 0 || ret == EBUSY);
        if (ret == 0)
            return true;
        if (waited >= milliseconds)
            return false;
        timespec pause{0, 1000000L};
        nanosleep(&pause, nullptr);
    }
#else
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
#endif
}

}  // namespace velkaro
