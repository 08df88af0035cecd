#include "helper/helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

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

// The length goes first, so that the reader makes room once and can tell a whole output
// from one cut short.
[[noreturn]] void runJob(const HelperOutput::Job& job, int writeEnd) {
    std::string output;
    try {
        output = job();
    } catch (...) {
        _exit(1);
    }
    const std::uint64_t length = output.size();
    const bool sent = writeFully(writeEnd, reinterpret_cast<const char*>(&length), sizeof length) &&
                      writeFully(writeEnd, output.data(), output.size());
    _exit(sent ? 0 : 1);
}

}  // namespace

HelperOutput::~HelperOutput() { stop(); }

void HelperOutput::stop() {
    if (readEnd_ >= 0) {
        kill(helper_, SIGKILL);
        close(readEnd_);
        readEnd_ = -1;
        waitpid(helper_, nullptr, WNOHANG);
        helper_ = -1;
        std::string().swap(output_);  // a fork after this copies none of it
    }
}

bool HelperOutput::start(const Job& job, int xDescriptor) {
    int ends[2];
    if (pipe(ends) != 0) {
        return false;
    }
    // No other thread forks meanwhile, so both ends are close-on-exec before any exec.
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    const pid_t child = fork();
    if (child == 0) {
        if (xDescriptor >= 0) {
            close(xDescriptor);
        }
        close(ends[0]);
        runJob(job, ends[1]);
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

void HelperOutput::wait() {
    while (!done()) {
        pollfd readable{readEnd_, POLLIN, 0};
        poll(&readable, 1, -1);
    }
}

// One read: the bytes taken, or -1 when nothing more has come for now.
ssize_t HelperOutput::readSome() {
    const bool headed = headerBytes_ == sizeof header_;
    char piece[65536];
    char* into = headed ? piece : header_ + headerBytes_;
    const std::size_t room = headed ? sizeof piece : sizeof header_ - headerBytes_;
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
        finish(headed && output_.size() == expected_);
    } else if (!headed) {
        headerBytes_ += bytes;
        if (headerBytes_ == sizeof header_) {
            makeRoom();
        }
    } else if (bytes > expected_ - output_.size()) {
        stop();  // more than it said it would send
    } else {
        output_.append(piece, bytes);
    }
    return count;
}

// Reserved, not filled: the pages come as the bytes do.
void HelperOutput::makeRoom() {
    std::memcpy(&expected_, header_, sizeof expected_);
    try {
        output_.reserve(expected_);
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
        output_.clear();
        output_.shrink_to_fit();
    }
}
