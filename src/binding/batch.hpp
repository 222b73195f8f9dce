// One search per query of a batch, on native threads that run without the
// interpreter's lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "binding/gil.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch::binding {

namespace batch_detail {

// Thrown inside a worker thread once another one failed or was interrupted.
struct Cancelled {};

inline void check_cancelled(void* flag) {
    if (static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed)) {
        throw Cancelled{};
    }
}

// The threads a batch of `count` runs on: `workers` (0: one per core), never
// more than `count`.
inline std::uint64_t thread_count(std::uint64_t workers, std::size_t count) {
    if (workers == 0) {
        workers = std::max(1u, std::thread::hardware_concurrency());
    }
    return std::min<std::uint64_t>(workers, std::max<std::size_t>(count, 1));
}

// Runs own() on the calling thread beside `threads`; when it throws, the
// threads are told to stop and joined before the exception goes on.
template <class Own>
void beside(std::vector<std::jthread>& threads, std::atomic<bool>& stop, Own own) {
    try {
        own();
    } catch (...) {
        stop = true;
        threads.clear();  // joins
        throw;
    }
}

}  // namespace batch_detail

// results[i] = search(i, interrupt) for every i < count, on `workers` threads
// (0: one per core; never more than there are queries). The calling thread
// works too and alone watches for Ctrl-C; the first failure of any thread
// stops the others and is rethrown here. search must not touch Python
// objects.
template <class Result, class Search>
std::vector<Result> run_batch(std::size_t count, std::uint64_t workers, Search search) {
    workers = batch_detail::thread_count(workers, count);
    std::vector<Result> results(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    // Each worker takes the next query until none is left or one failed.
    auto work = [&](Interrupt& interrupt) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) {
                return;
            }
            results[i] = search(i, interrupt);
        }
    };
    {
        ReleasedGil released;
        std::vector<std::jthread> threads;
        for (std::uint64_t w = 1; w < workers; ++w) {
            try {
                threads.emplace_back([&] {
                    try {
                        Interrupt interrupt(&batch_detail::check_cancelled, &stop);
                        work(interrupt);
                    } catch (const batch_detail::Cancelled&) {
                    } catch (...) {
                        const std::lock_guard lock(failure_mutex);
                        if (!failure) {
                            failure = std::current_exception();
                        }
                        stop = true;
                    }
                });
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for still do the work
            }
        }
        batch_detail::beside(threads, stop, [&] {
            Interrupt interrupt = released.interrupt();
            work(interrupt);
        });
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return results;
}

}  // namespace morlatch::binding
