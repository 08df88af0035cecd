#include "hung_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fuse.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace e2e {

#ifdef __linux__
namespace {

// The kernel asks for INIT first; after the answer it sends the real requests.
void answerInitThenNothing(int device, int requests) {
    std::vector<char> request(FUSE_MIN_READ_BUFFER + 65536);
    const ssize_t length = read(device, request.data(), request.size());
    if (length < static_cast<ssize_t>(sizeof(fuse_in_header))) {
        return;
    }
    fuse_in_header header{};
    std::memcpy(&header, request.data(), sizeof header);
    struct {
        fuse_out_header header;
        fuse_init_out init;
    } reply{};
    reply.header.len = sizeof reply;
    reply.header.unique = header.unique;
    reply.init.major = FUSE_KERNEL_VERSION;
    reply.init.minor = FUSE_KERNEL_MINOR_VERSION;
    reply.init.max_write = 4096;
    if (write(device, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) {
        return;
    }
    while (read(device, request.data(), request.size()) > 0 || errno == EINTR) {
        if (write(requests, "r", 1) < 0) {
            return;  // taken, never answered, and told of
        }
    }
}

}  // namespace

std::string HungMount::mount(const std::string& directory) {
    if (geteuid() != 0) {
        return "mounting a FUSE file system needs root";
    }
    if (access("/dev/fuse", F_OK) != 0) {
        return "no /dev/fuse";
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        throw std::runtime_error(std::string("no private mount namespace: ") +
                                 std::strerror(errno));
    }
    const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device < 0) {
        throw std::runtime_error(std::string("cannot open /dev/fuse: ") + std::strerror(errno));
    }
    const std::string options =
        "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0";
    if (::mount("hung", directory.c_str(), "fuse.hung", MS_NOSUID | MS_NODEV, options.c_str()) !=
        0) {
        close(device);
        throw std::runtime_error(std::string("cannot mount FUSE: ") + std::strerror(errno));
    }
    directory_ = directory;
    int told[2];
    if (pipe(told) != 0) {
        throw std::runtime_error("pipe failed");
    }
    requests_ = told[0];
    fcntl(requests_, F_SETFL, O_NONBLOCK);
    server_ = fork();
    if (server_ == 0) {
        // Dies with the test, and holds none of its pipes: nothing waits for it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int nowhere = open("/dev/null", O_RDWR);
        for (int standard = 0; standard <= 2; ++standard) {
            dup2(nowhere, standard);
        }
        answerInitThenNothing(device, told[1]);
        _exit(0);
    }
    close(told[1]);
    close(device);  // the server's copy is the last: when it goes, the mount is aborted
    return {};
}

void HungMount::stop() {
    if (server_ > 0) {
        kill(server_, SIGKILL);
        waitpid(server_, nullptr, 0);
        server_ = -1;
    }
}

bool HungMount::touched() {
    char byte = 0;
    return read(requests_, &byte, 1) == 1;
}

HungMount::~HungMount() {
    stop();
    if (requests_ >= 0) {
        close(requests_);
    }
    if (!directory_.empty()) {
        umount2(directory_.c_str(), MNT_DETACH);
    }
}
#else
std::string HungMount::mount(const std::string&) { return "FUSE mounts are set up for Linux only"; }
void HungMount::stop() {}
bool HungMount::touched() { return false; }
HungMount::~HungMount() = default;
#endif

}  // namespace e2e
