#include "Timer.h"

namespace velkaro {

void Timer::start() {
    gettimeofday(&mStart, nullptr);
}

double Timer::elapsed() const {
    timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_sec - mStart.tv_sec) + double(now.tv_usec - mStart.tv_usec) * 1e-6;
}

}  // namespace velkaro
