#pragma once

#include <sys/time.h>

namespace velkaro {

// Wall-clock stopwatch behind every "took %.2f seconds" log line.
class Timer {
  public:
    void start();
    double elapsed() const;  // seconds since start()

  private:
    timeval mStart{};
};

}  // namespace velkaro
