// Holding the signals that ask a process to stop (SIGINT, SIGTERM, SIGHUP)
// while files are swapped in, so that a swap, once begun, ends: a signal
// that arrives meanwhile is recorded, and raised again when the swap is done.
#pragma once

#include <csignal>

namespace vocarix::file_sets {

// While alive, the stop signals only record themselves (process-wide, so
// whichever thread the kernel picks). The destructor puts the previous
// handlers back and raises the first recorded signal again. Holds nest.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    bool outermost_ = false;
};

}  // namespace vocarix::file_sets
