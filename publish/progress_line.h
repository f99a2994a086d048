// One line on the terminal that says how far a long step has come, rewritten in place; nothing
// at all when standard error is no terminal (a script, a log file).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class ProgressLine {
public:
    ProgressLine();  // shows only when standard error is a terminal
    explicit ProgressLine(bool shown);
    ~ProgressLine();  // takes the line away
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // A new step: its name and how many files and bytes it has to go through.
    void begin(const std::string& step, std::uint64_t files, std::uint64_t bytes);
    // Adds what was done; callable from any thread. The line is redrawn at most ten times a second.
    void advance(std::uint64_t files, std::uint64_t bytes);
    void clear();

private:
    void draw(bool force);

    bool shown_;
    std::mutex lock_;
    std::string step_;
    std::uint64_t totalFiles_ = 0, totalBytes_ = 0;
    std::atomic<std::uint64_t> files_{0}, bytes_{0};
    std::chrono::steady_clock::time_point drawn_{};
    bool onScreen_ = false;
};
