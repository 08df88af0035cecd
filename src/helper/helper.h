#pragma once

// Helper processes, which do for the launcher whatever may wait on a file system.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The bytes one job makes in a helper process, read back without blocking the caller.
// A job may hang for good in a dead mount: then only the helper hangs. It keeps no
// descriptor but its pipe (the standard ones are /dev/null), so nothing that waits on a
// file system holds the X connection, the keyboard, or a reader of our standard error.
class HelperOutput {
public:
    // What a job sends: its own bytes, then bytes it leaves in place (a file it mapped, say),
    // which live as long as the helper does.
    struct Reply {
        std::string made;
        std::string_view inPlace = {};
    };
    using Job = std::function<Reply()>;

    HelperOutput() = default;
    ~HelperOutput();
    HelperOutput(const HelperOutput&) = delete;
    HelperOutput& operator=(const HelperOutput&) = delete;

    // Runs job in a new process. False when no process or pipe could be had: then there
    // is no output, and done() is true.
    bool start(const Job& job);
    // Readable while more output is to come; -1 once all has come or none will.
    int descriptor() const { return readEnd_; }
    // Reads what has come so far without waiting; true once all of it is here. A helper
    // that ends before it has sent everything (a failed job) leaves no output at all.
    bool done();
    // Waits for all of it.
    void wait();
    // What has come so far.
    std::string_view partial() const { return {output_.data(), received_}; }
    // The output, once done.
    std::string take() { return std::move(output_); }
    // Ends a helper still at work: its output is of no use any more. One stuck in a dead
    // mount ends when the mount answers.
    void stop();

private:
    ssize_t readSome();
    void makeRoom();
    void finish(bool complete);
    void awaitReadable() const;

    static constexpr std::size_t bytesPerTurn = std::size_t{1} << 20;

    pid_t helper_ = -1;
    int readEnd_ = -1;
    std::size_t headerBytes_ = 0;
    std::uint64_t expected_ = 0;
    char header_[sizeof(std::uint64_t)] = {};
    std::string output_;
    std::size_t received_ = 0;
};

// A list read once: in a helper process from start on, or else here, where it is first
// needed. Without a process to be had, nothing is read at all: a read here could hang the
// key handling.
class LoadOnce {
public:
    using Take = std::function<void(std::string)>;

    void start(const HelperOutput::Job& job);
    // Takes in what the helper has sent so far and, once all of it is here, hands it to
    // take; true when nothing is left to wait for.
    bool ready(const Take& take);
    // Waits for the helper's bytes, or makes them here with make when none was started,
    // and hands them to take.
    void await(const std::function<std::string()>& make, const Take& take);
    // A read started and not yet taken in.
    bool underWay() const { return started_ && !loaded_; }
    HelperOutput& helper() { return helper_; }
    const HelperOutput& helper() const { return helper_; }

private:
    HelperOutput helper_;
    bool started_ = false;
    bool loaded_ = false;
};

// Waits, for at most bound, until every helper this process started has ended and been
// reaped: a killed helper still counts against the user's process limit until then.
void reapHelpers(std::chrono::milliseconds bound);

// Closes every descriptor from first on: what a process was started with is not kept.
void closeDescriptorsFrom(int first);
