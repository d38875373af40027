#pragma once

#include <atomic>
#include <complex>

#include "Lock.h"

namespace velkaro {

// Client of the fftw_helper program, which computes the application's Fourier transforms in a
// separate process, so that a fault in it cannot take the application down. The helper is started
// at the first transform, receives its requests on its standard input and answers on its standard
// output (format in helpers/fftw_helper/HelperProtocol.h). Transforms of real data travel through
// a shared memory region the helper inherits; only their requests and one-byte answers use the
// pipes. One helper serves the whole application; gFftLock serialises the exchanges so that the
// helper sees one request at a time.
//
// Every exchange has a deadline that grows with its size (fft_set_deadline). A helper that misses
// it, dies or answers out of step is killed, and the transform is repeated once with a new helper;
// a second failure is returned as Failed, with a message. An exchange also ends, within a few
// milliseconds, when the caller's cancel flag is set: the helper is then killed (its answer would
// be out of step) and Cancelled returned.

extern Lock gFftLock;

enum class FftStatus { Done, Cancelled, Failed };

// Complex buffers hold rows × columns values, row after row, and are transformed in place. After a
// failure they hold the input or a partly overwritten copy of it.
// Forward 2-D transform. A one-dimensional transform of n values is n rows of 1 column.
FftStatus fft_forward(std::complex<double>* data, int rows, int columns,
                      const std::atomic<bool>* cancel = nullptr);
// Backward 2-D transform without the 1 / (rows × columns) factor.
FftStatus fft_backward(std::complex<double>* data, int rows, int columns,
                       const std::atomic<bool>* cancel = nullptr);

// Transforms of real data: `real` holds rows × columns doubles, `spectrum` the half spectrum of
// rows × (columns / 2 + 1) values (the columns of non-negative frequency; the others are their
// conjugates). Forward reads `real` and writes `spectrum`; backward (unscaled) reads `spectrum`,
// whose values must be the half of a spectrum of real data, and writes `real`. The inputs are
// never changed; the outputs are written only when the transform is Done.
FftStatus fft_real_forward(const double* real, std::complex<double>* spectrum, int rows,
                           int columns, const std::atomic<bool>* cancel = nullptr);
FftStatus fft_real_backward(const std::complex<double>* spectrum, double* real, int rows,
                            int columns, const std::atomic<bool>* cancel = nullptr);

// Lets a running helper release the plans' buffers and the shared region it keeps between
// transforms, and gives the region's memory back. Starts no helper.
void fft_cleanup();

// Deadline of one exchange: `baseSeconds` + `secondsPerMillionValues` per million values
// transformed. The defaults give about a hundred times what the transforms take on an ordinary
// two-core machine (a 12-megapixel transform of real data: 0.2 s, deadline 29 s); tests shorten
// it to meet stalled helpers quickly, and restore it by calling without arguments.
void fft_set_deadline(double baseSeconds = 5, double secondsPerMillionValues = 2);

// Time spent in exchanges since the last reset: sending the request (and copying real data into
// the shared region), waiting for the first bytes of the answer (the helper reading the data and
// transforming) and receiving the rest (copying the result out of the shared region).
struct FftExchangeStatistics {
    long exchanges = 0;
    double bytes = 0;  // sent and received, or copied in and out
    double sendSeconds = 0;
    double waitSeconds = 0;
    double receiveSeconds = 0;
};
FftExchangeStatistics fft_statistics();
void fft_reset_statistics();

// Process id of the running helper, -1 when none runs.
int fft_helper_pid();
// Closes the pipes and waits for the helper to end; the next transform starts a new one.
void fft_stop_helper();

}  // namespace velkaro
