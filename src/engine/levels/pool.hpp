#pragma once

#include <cstddef>
#include <functional>

namespace kov {

// The process-wide pool of worker threads. It starts on first use with one worker per processor
// the process may run on (its affinity mask; the processor count where the system has no such
// mask); the thread calling parallel_for is one of them, so the pool itself holds one thread
// fewer. A child process created by fork() starts a pool of its own on first use.

// Number of workers parallel_for uses (the calling thread included), at least 1.
[[nodiscard]] std::size_t worker_count();

// Sets the number of workers for later calls; 0 restores one per processor in the affinity mask.
// Waits for a running parallel_for to finish first.
void set_worker_count(std::size_t count);

// The body receives a half-open index range and the id (0 .. worker_count() - 1) of the worker
// running it; the calling thread is worker 0. Ranges of at most `chunk` indices are handed out in
// ascending order.
using ChunkBody = std::function<void(std::size_t begin, std::size_t end, std::size_t worker)>;

// Runs body over [0, count) split into chunks and returns when every chunk has run. `poll`, when
// given, is called on the calling thread between its chunks; once it returns true no further chunk
// starts and parallel_for returns false after the running ones finish. An exception thrown by the
// body stops the loop the same way and is rethrown here. Called from inside a body, it runs
// serially on that thread.
bool parallel_for(std::size_t count, std::size_t chunk, const ChunkBody& body,
                  const std::function<bool()>& poll = {});

}  // namespace kov
