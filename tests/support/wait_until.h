// Test helper: polling with a bounded deadline, and a monotonic stopwatch.
#pragma once

#include <chrono>
#include <thread>

// Milliseconds since construction, on the monotonic clock.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// Calls `done` every `stepMs` until it holds (true) or `timeoutMs` have passed (false; `done` is
// asked once more at the end). Blocks the calling thread meanwhile.
template <typename Done>
bool WaitUntil(Done done, int timeoutMs, int stepMs = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return true;
}
