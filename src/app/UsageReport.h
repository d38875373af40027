#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace velkaro {

// What one usage report says about one full deblur.
struct UsageReportFields {
    int width = 0;
    int height = 0;
    int radiusStep = 0;
    int deblurType = 0;
    int maskType = 0;
    float maskAmount = 0;
    float maskRadius = 0;
    float maskCrude = 0;
};

// The report endpoint's scheme and host (no path): the environment variable
// VELKARO_STATS_ENDPOINT, else the settings key "statsEndpoint", else the one chosen at build time
// (the CMake cache variable VELKARO_STATS_ENDPOINT). Empty when none is configured: then the
// application never asks for permission and never sends a report.
QString UsageReportEndpoint(const QSettings& settings);

// The full report address: endpoint, "/cgi-bin/vlkreport.cgi?", then width, height, radius,
// deblurType, maskType, maskAmount, maskRadius and maskCrude in this order.
QString UsageReportAddress(const QString& endpoint, const UsageReportFields& fields);

// Sends usage reports: one HTTP GET each, with the header "User-Agent: Velkaro <version>", on a
// thread of its own, so the window never waits for the network. Answers and failures are ignored.
class UsageReporter {
  public:
    UsageReporter();
    ~UsageReporter();
    UsageReporter(const UsageReporter&) = delete;
    UsageReporter& operator=(const UsageReporter&) = delete;

    void reportStats(const QString& address);

  private:
    struct Worker;
    std::unique_ptr<Worker> mWorker;
};

}  // namespace velkaro
