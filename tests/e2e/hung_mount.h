#pragma once

#include <sys/types.h>

#include <string>

namespace e2e {

// A FUSE file system that answers INIT, then takes every request and never answers it,
// as a network mount whose server died: whoever touches it sleeps uninterruptibly until
// the file system stops. Mounted in a mount namespace of this process's own.
class HungMount {
public:
    HungMount() = default;
    ~HungMount();
    HungMount(const HungMount&) = delete;
    HungMount& operator=(const HungMount&) = delete;

    // Why it cannot be mounted on this system (not Linux, not root, no /dev/fuse); empty
    // once mounted. Any other failure throws std::runtime_error.
    std::string mount(const std::string& directory);
    // Ends the server: the requests waiting on it fail, and their callers go on.
    void stop();
    // True once anything has touched the mount since it was mounted.
    bool touched();

private:
    // Used only where FUSE mounts are set up (Linux).
    [[maybe_unused]] pid_t server_ = -1;
    [[maybe_unused]] std::string directory_;
    [[maybe_unused]] int requests_ = -1;  // a byte for each request taken
};

}  // namespace e2e
