#pragma once

#include <fftw3.h>

#include <cstdint>
#include <map>
#include <tuple>
#include <utility>

#include "HelperProtocol.h"

namespace velkaro {

// Two-dimensional transforms with FFTW on all cores. Complex transforms run in place: for every
// size asked for, the engine keeps one aligned buffer and the forward and backward plans made for
// it until release(). Transforms of real data run on the shared region given at construction
// (-1: none, and every real transform fails); their plans do not depend on the data's address and
// are kept across release(), so the channels of one image reuse them.
// The backward transforms are not scaled: backward(forward(x)) = rows × columns × x.
class FftwEngine final : public FftEngine {
  public:
    explicit FftwEngine(int sharedFd = -1);
    ~FftwEngine() override;
    FftwEngine(const FftwEngine&) = delete;
    FftwEngine& operator=(const FftwEngine&) = delete;

    std::complex<double>* buffer(int rows, int columns) override;
    bool transform(int rows, int columns, int direction) override;
    bool realTransform(int rows, int columns, int direction) override;
    void release() override;

    // Number of sizes of complex transforms currently kept.
    std::size_t keptSizes() const { return mSizes.size(); }
    // Number of plans of real transforms currently kept.
    std::size_t keptRealPlans() const { return mRealPlans.size(); }

  private:
    struct Size {
        fftw_complex* data = nullptr;
        fftw_plan forward = nullptr;
        fftw_plan backward = nullptr;
    };
    Size* find(int rows, int columns);
    // Maps the whole shared region when it holds at least `bytes`; null otherwise.
    unsigned char* shared(std::uint64_t bytes);
    void destroyRealPlans();

    std::map<std::pair<int, int>, Size> mSizes;
    std::map<std::tuple<int, int, int>, fftw_plan> mRealPlans;  // rows, columns, direction
    int mSharedFd = -1;
    void* mMapping = nullptr;
    std::size_t mMappedBytes = 0;
};

}  // namespace velkaro
