// Asking a caller, now and then, whether a long read or write should go on.
#pragma once

#include <chrono>
#include <functional>

#include "document/errors.hpp"

namespace vocarix {

// Asks the caller whether to go on: always when told to check now (after an
// interruption or a wait that timed out), and otherwise no more than every
// 50 ms, since taking back whatever the caller runs on may cost a thread
// switch. A caller that says stop ends the work with ReadInterrupted.
class ProgressCheck {
public:
    explicit ProgressCheck(const std::function<bool()>& keep_going) : keep_going_(keep_going) {}
    void check_now() {
        if (keep_going_ && !keep_going_()) throw ReadInterrupted();
        last_check_ = std::chrono::steady_clock::now();
    }
    void check_now_and_then() {
        if (keep_going_ && std::chrono::steady_clock::now() - last_check_ >= std::chrono::milliseconds(50)) check_now();
    }

private:
    const std::function<bool()>& keep_going_;
    std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
};

}  // namespace vocarix
