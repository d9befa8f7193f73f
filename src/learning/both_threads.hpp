// Two pieces of work run side by side, for the word table's bulk steps.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

namespace vocarix {

// Runs first() here and second() on a thread of its own when `parallel`
// (here too when no thread can be had); an exception of either is thrown here.
template <class First, class Second>
inline void run_both(bool parallel, First&& first, Second&& second) {
    std::exception_ptr failure;
    std::thread other;
    if (parallel) {
        try {
            other = std::thread([&] {
                try {
                    second();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            parallel = false;
        }
    }
    std::exception_ptr mine;
    try {
        first();
    } catch (...) {
        mine = std::current_exception();
    }
    if (parallel) other.join();
    else if (!mine) second();
    if (mine) std::rethrow_exception(mine);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vocarix
