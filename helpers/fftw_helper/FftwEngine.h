#pragma once

#include "HelperProtocol.h"

#include <fftw3.h>

#include <map>
#include <utility>

// Two-dimensional complex transforms with FFTW, in place. For every size asked for, the engine
// keeps one aligned buffer and the forward and backward plans made for it until release().
// The backward transform is not scaled: backward(forward(x)) = rows × columns × x.
class FftwEngine final : public FftEngine {
public:
    FftwEngine() = default;
    ~FftwEngine() override;
    FftwEngine(const FftwEngine&) = delete;
    FftwEngine& operator=(const FftwEngine&) = delete;

    std::complex<double>* buffer(int rows, int columns) override;
    bool transform(int rows, int columns, int direction) override;
    void release() override;

    // Number of sizes currently kept.
    std::size_t keptSizes() const { return mSizes.size(); }

private:
    struct Size {
        fftw_complex* data = nullptr;
        fftw_plan forward = nullptr;
        fftw_plan backward = nullptr;
    };
    Size* find(int rows, int columns);

    std::map<std::pair<int, int>, Size> mSizes;
};
