// The one poll over an X connection and the descriptors that wake its owner beside it.
#include "display/x11_wait.h"

#include <poll.h>

#include <algorithm>

bool awaitInput(Display* connection, const std::vector<int>& descriptors) {
    std::vector<pollfd> sources = {{ConnectionNumber(connection), POLLIN, 0}};
    for (const int descriptor : descriptors) {
        sources.push_back({descriptor, POLLIN, 0});
    }
    return poll(sources.data(), sources.size(), -1) > 0 &&
           std::any_of(sources.begin() + 1, sources.end(),
                       [](const pollfd& source) { return source.revents != 0; });
}
