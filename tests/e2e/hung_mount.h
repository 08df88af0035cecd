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

    // Why it cannot be mounted here (not root, no FUSE, no namespaces); empty on success.
    std::string mount(const std::string& directory);
    // Ends the server: the requests waiting on it fail, and their callers go on.
    void stop();

private:
    pid_t server_ = -1;
    std::string directory_;
};

}  // namespace e2e
