// fftw_helper: computes two-dimensional FFTs for the application. Requests arrive on standard
// input and answers leave on standard output in the format of HelperProtocol.h; the program ends
// at the end of its input.

#include "FftwEngine.h"
#include "HelperProtocol.h"

#include <csignal>
#include <unistd.h>

int main() {
    // A client that goes away must end this program through a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    FftwEngine engine;
    int status = ServeRequests(STDIN_FILENO, STDOUT_FILENO, engine, PhysicalMemoryBytes());
    engine.release();
    return status;
}
