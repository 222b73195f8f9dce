// A batch whose results become Python objects while it still runs: the
// native threads work through the queries chunk by chunk, and the calling
// thread, between chunks of its own, takes the interpreter's lock back to
// convert the chunks finished so far. Converting (which only the thread
// holding the lock may do) then overlaps the other threads' work instead of
// following it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "binding/batch.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch::engine::catalog_glue {

// Queries per chunk: enough that the calling thread takes the lock back
// rarely, few enough that the last chunks even out the threads.
inline constexpr std::size_t kConvertChunk = 64;

// The list of convert(run(i, interrupt)) for every i < count, run on
// `workers` threads (0: one per core) as binding::run_batch runs it. run
// must not touch Python objects; convert(i, Result&), an OwnedRef, runs on
// the calling thread with the lock held, in order of i. The first failure
// of any thread stops the others and is rethrown here.
template <class Result, class Run, class Convert>
binding::OwnedRef run_converted(std::size_t count, std::uint64_t workers, Run run,
                                Convert convert) {
    const std::size_t chunks = (count + kConvertChunk - 1) / kConvertChunk;
    workers = binding::batch_detail::thread_count(workers, chunks);
    binding::OwnedRef list = binding::new_ref(PyList_New(static_cast<Py_ssize_t>(count)));
    std::vector<Result> results(count);
    const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[chunks]());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    auto compute = [&](std::size_t k, Interrupt& interrupt) {
        const std::size_t end = std::min(count, (k + 1) * kConvertChunk);
        for (std::size_t i = k * kConvertChunk; i < end; ++i) {
            results[i] = run(i, interrupt);
        }
        done[k].store(true, std::memory_order_release);
        done[k].notify_one();
    };
    // A worker's chunk left unfinished is marked done all the same, so that
    // the calling thread never waits for it; `stop` tells it why.
    auto work = [&] {
        std::size_t k = chunks;
        try {
            Interrupt interrupt(&binding::batch_detail::check_cancelled, &stop);
            while (!stop.load(std::memory_order_relaxed) &&
                   (k = next.fetch_add(1, std::memory_order_relaxed)) < chunks) {
                compute(k, interrupt);
            }
            return;
        } catch (const binding::batch_detail::Cancelled&) {
        } catch (...) {
            const std::lock_guard lock(failure_mutex);
            if (!failure) {
                failure = std::current_exception();
            }
        }
        stop = true;
        if (k < chunks) {
            done[k].store(true, std::memory_order_release);
            done[k].notify_one();
        }
    };
    {
        binding::ReleasedGil released;
        std::vector<std::jthread> threads;
        for (std::uint64_t w = 1; w < workers; ++w) {
            try {
                threads.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for still do the work
            }
        }
        binding::batch_detail::beside(threads, stop, [&] {
            Interrupt interrupt = released.interrupt();
            std::size_t converted = 0;  // chunks whose results are in the list
            while (converted < chunks && !stop.load(std::memory_order_relaxed)) {
                if (done[converted].load(std::memory_order_acquire)) {
                    released.with_lock([&] {
                        for (; converted < chunks && !stop.load(std::memory_order_relaxed) &&
                               done[converted].load(std::memory_order_acquire);
                             ++converted) {
                            const std::size_t end =
                                std::min(count, (converted + 1) * kConvertChunk);
                            for (std::size_t i = converted * kConvertChunk; i < end; ++i) {
                                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                                                convert(i, results[i]).release());
                                results[i] = Result{};
                            }
                        }
                    });
                } else if (const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
                           k < chunks) {
                    compute(k, interrupt);
                } else {
                    done[converted].wait(false, std::memory_order_acquire);
                }
            }
        });
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return list;
}

}  // namespace morlatch::engine::catalog_glue
