// Helper processes: a job run in a child that keeps nothing but its pipe, read back in turns.
#include "helper/helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace {

#ifdef F_SETPIPE_SZ
// Where the kernel allows it, a pipe as large as an unprivileged process may have: a
// long history then crosses in a few large reads instead of thousands of small ones.
constexpr int pipeBytes = 1 << 20;
#endif

constexpr int helperOutput = 3;  // the pipe's descriptor in the helper

bool writeFully(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t count = write(descriptor, data, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;  // the reader has gone
        }
        data += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

// /dev/null on 0 to 2, the pipe on 3, nothing else: not the X connection, not the
// launcher's standard error, which a reader waits on until every copy is closed.
void keepOnly(int writeEnd) {
    const int output = fcntl(writeEnd, F_DUPFD, helperOutput);
    const int nothing = open("/dev/null", O_RDWR);
    for (int standard = 0; standard <= 2; ++standard) {
        dup2(nothing, standard);
    }
    dup2(output, helperOutput);
    closeDescriptorsFrom(helperOutput + 1);
}

// The length goes first, so that the reader makes room once and can tell a whole output
// from one cut short.
[[noreturn]] void runJob(const HelperOutput::Job& job) {
    HelperOutput::Reply reply;
    try {
        reply = job();
    } catch (...) {
        _exit(1);
    }
    const std::uint64_t length = reply.made.size() + reply.inPlace.size();
    const bool sent =
        writeFully(helperOutput, reinterpret_cast<const char*>(&length), sizeof length) &&
        writeFully(helperOutput, reply.made.data(), reply.made.size()) &&
        writeFully(helperOutput, reply.inPlace.data(), reply.inPlace.size());
    _exit(sent ? 0 : 1);
}

}  // namespace

void closeDescriptorsFrom(int first) {
#if defined(__FreeBSD__)
    closefrom(first);
#else
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, first, ~0U, 0) == 0) {
        return;
    }
#endif
    const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int descriptor = first; descriptor < limit; ++descriptor) {
        close(descriptor);
    }
#endif
}

HelperOutput::~HelperOutput() { stop(); }

void HelperOutput::stop() {
    if (readEnd_ >= 0) {
        kill(helper_, SIGKILL);
        close(readEnd_);
        readEnd_ = -1;
        waitpid(helper_, nullptr, WNOHANG);  // else reapHelpers does, before a launch
        helper_ = -1;
        std::string().swap(output_);  // a fork after this copies none of it
        received_ = 0;
    }
}

bool HelperOutput::start(const Job& job) {
    int ends[2];
    if (pipe(ends) != 0) {
        return false;
    }
    // No other thread forks meanwhile, so both ends are close-on-exec before any exec.
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
#ifdef F_SETPIPE_SZ
    fcntl(ends[0], F_SETPIPE_SZ, pipeBytes);
#endif
    const pid_t child = fork();
    if (child == 0) {
        keepOnly(ends[1]);
        runJob(job);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        return false;
    }
    helper_ = child;
    readEnd_ = ends[0];
    return true;
}

// A bounded share each time, so that keys and exposures wait for no more than that.
bool HelperOutput::done() {
    for (std::size_t taken = 0; readEnd_ >= 0 && taken < bytesPerTurn;) {
        const ssize_t count = readSome();
        if (count < 0) {
            break;  // nothing more for now
        }
        taken += static_cast<std::size_t>(count);
    }
    return readEnd_ < 0;
}

void HelperOutput::awaitReadable() const {
    pollfd readable{readEnd_, POLLIN, 0};
    poll(&readable, 1, -1);
}

void HelperOutput::wait() {
    while (!done()) {
        awaitReadable();
    }
}

// One read, straight into the output: the bytes taken, or -1 when nothing more has come
// for now.
ssize_t HelperOutput::readSome() {
    const bool headed = headerBytes_ == sizeof header_;
    // One byte more than is due, so that a helper that sends too much is caught.
    char spare = 0;
    char* into = !headed                      ? header_ + headerBytes_
                 : received_ < output_.size() ? output_.data() + received_
                                              : &spare;
    const std::size_t room = !headed ? sizeof header_ - headerBytes_
                                     : std::max<std::size_t>(output_.size() - received_, 1);
    const ssize_t count = read(readEnd_, into, room);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return -1;
        }
        if (errno != EINTR) {
            stop();
        }
        return 0;
    }
    const auto bytes = static_cast<std::size_t>(count);
    if (count == 0) {
        finish(headed && received_ == expected_);
    } else if (!headed) {
        headerBytes_ += bytes;
        if (headerBytes_ == sizeof header_) {
            makeRoom();
        }
    } else if (into == &spare) {
        stop();  // more than it said it would send
    } else {
        received_ += bytes;
    }
    return count;
}

// All of it at once: the pages come as the bytes do.
void HelperOutput::makeRoom() {
    std::memcpy(&expected_, header_, sizeof expected_);
    try {
        output_.resize(expected_);
    } catch (const std::exception&) {
        stop();  // no memory for it: as if the job had failed
    }
}

// The end of the pipe: the helper has exited, or is about to, so the wait is short.
void HelperOutput::finish(bool complete) {
    close(readEnd_);
    readEnd_ = -1;
    waitpid(helper_, nullptr, 0);
    helper_ = -1;
    if (!complete) {
        std::string().swap(output_);
        received_ = 0;
    }
}

void LoadOnce::start(const HelperOutput::Job& job) {
    if (started_ || loaded_) {
        return;
    }
    started_ = true;
    loaded_ = !helper_.start(job);
}

bool LoadOnce::ready(const Take& take) {
    if (underWay() && helper_.done()) {
        loaded_ = true;
        take(helper_.take());
    }
    return !underWay();
}

void LoadOnce::await(const std::function<std::string()>& make, const Take& take) {
    if (loaded_) {
        return;
    }
    if (started_) {
        helper_.wait();
    }
    loaded_ = true;
    take(started_ ? helper_.take() : make());
}

void reapHelpers(std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + bound;
    const timespec pause{0, 1000000};
    for (;;) {
        const pid_t reaped = waitpid(-1, nullptr, WNOHANG);
        if (reaped < 0 && errno != EINTR) {
            return;  // none left
        }
        if (reaped == 0) {
            if (Clock::now() >= deadline) {
                return;
            }
            nanosleep(&pause, nullptr);
        }
    }
}
