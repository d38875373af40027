#pragma once

#include "Lock.h"

#include <complex>

// Client of the fftw_helper program, which computes the application's Fourier transforms in a
// separate process. The helper is started at the first transform, receives its requests on its
// standard input and answers on its standard output (format in helpers/fftw_helper/
// HelperProtocol.h). One helper serves the whole application; gFftLock serialises the exchanges
// so that the helper sees one request at a time.
//
// Buffers hold rows × columns complex values, row after row, and are transformed in place.
// Nothing is reported to the caller: after a failed exchange the buffer holds the input or a
// partly overwritten copy of it, a message is printed, and the next transform starts a new helper.

extern Lock gFftLock;

// Forward 2-D transform. A one-dimensional transform of n values is n rows of 1 column.
void fft_forward(std::complex<double>* data, int rows, int columns);
// Backward 2-D transform without the 1 / (rows × columns) factor.
void fft_backward(std::complex<double>* data, int rows, int columns);
// Lets a running helper release the plans and buffers it keeps between transforms. Starts no
// helper.
void fft_cleanup();

// Time spent in exchanges since the last reset: sending the request, waiting for the first bytes
// of the answer (the helper reading the data and transforming) and receiving the rest.
struct FftExchangeStatistics {
    long exchanges = 0;
    double bytes = 0;  // sent and received
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
