#include "app/helper.h"

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
        output_.clear();
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

bool HelperOutput::done() {
    while (readEnd_ >= 0 && readSome()) {
    }
    return readEnd_ < 0;
}

void HelperOutput::wait() {
    while (!done()) {
        pollfd readable{readEnd_, POLLIN, 0};
        poll(&readable, 1, -1);
    }
}

// One read; false when nothing more has come for now.
bool HelperOutput::readSome() {
    const bool headed = headerBytes_ == sizeof header_;
    char scratch = 0;
    char* into = headed ? output_.data() + received_ : header_ + headerBytes_;
    std::size_t room = headed ? output_.size() - received_ : sizeof header_ - headerBytes_;
    if (room == 0) {
        into = &scratch;  // all is here: wait for the end
        room = 1;
    }
    const ssize_t count = read(readEnd_, into, room);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    if (count < 0 && errno == EINTR) {
        return true;
    }
    if (count <= 0 || into == &scratch) {
        finish(headed && received_ == output_.size() && count == 0);
    } else if (headed) {
        received_ += static_cast<std::size_t>(count);
    } else if ((headerBytes_ += static_cast<std::size_t>(count)) == sizeof header_) {
        makeRoom();
    }
    return true;
}

void HelperOutput::makeRoom() {
    std::uint64_t length = 0;
    std::memcpy(&length, header_, sizeof length);
    try {
        output_.resize(length);
    } catch (const std::exception&) {
        finish(false);  // no memory for it: as if the job had failed
    }
}

// The end of the pipe: the helper has exited, or is about to.
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
