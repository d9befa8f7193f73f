#include "file_sets/held_signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>

namespace vocarix::file_sets {
namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t recorded_signal = 0;
int hold_depth = 0;
std::array<struct sigaction, kStopSignals.size()> previous_actions{};

extern "C" void record_stop_signal(int signal_number) {
    if (recorded_signal == 0) recorded_signal = signal_number;
}

}  // namespace

HeldSignals::HeldSignals() {
    if (hold_depth++ > 0) return;
    outermost_ = true;
    recorded_signal = 0;
    struct sigaction recording {};
    recording.sa_handler = record_stop_signal;
    sigemptyset(&recording.sa_mask);
    recording.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) ::sigaction(kStopSignals[i], &recording, &previous_actions[i]);
}

HeldSignals::~HeldSignals() {
    --hold_depth;
    if (!outermost_) return;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) ::sigaction(kStopSignals[i], &previous_actions[i], nullptr);
    if (int held = recorded_signal) {
        recorded_signal = 0;
        ::kill(::getpid(), held);  // to the process, as it first came
    }
}

}  // namespace vocarix::file_sets
