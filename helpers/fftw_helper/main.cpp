// fftw_helper: computes two-dimensional FFTs for the application. Requests arrive on standard
// input and answers leave on standard output in the format of HelperProtocol.h; the data of real
// transforms lies in the shared region inherited as descriptor 3. The program ends at the end of
// its input.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "FftwEngine.h"
#include "HelperProtocol.h"

using namespace velkaro;

int main() {
    // A client that goes away must end this program through a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // The shared region for transforms of real data, when the client handed one over.
    const int shared = fcntl(kSharedDescriptor, F_GETFD) >= 0 ? kSharedDescriptor : -1;
    FftwEngine engine(shared);
    int status = ServeRequests(STDIN_FILENO, STDOUT_FILENO, engine, PhysicalMemoryBytes());
    engine.release();
    return status;
}
