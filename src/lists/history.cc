#include "lists/history.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/require_env.h"
#include "lists/file_io.h"

namespace {

// A launcher whose save waits longer than this for another's goes on without the lock.
constexpr std::chrono::milliseconds lockTimeout{1000};

std::string fileContent(const std::string& path) {
    std::string content;
    readWholeFile(path, content);
    return content;
}

}  // namespace

std::vector<std::string> splitHistory(const std::string& content) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1);
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        if (end > start) {
            lines.emplace_back(content, start, end - start);
        }
        start = end + 1;
    }
    return lines;
}

std::string serializeHistory(const std::vector<std::string>& entries, const std::string& command) {
    std::string content;
    for (const auto& entry : entries) {
        content += entry;
        content += '\n';
    }
    if (entries.empty() || entries.back() != command) {
        content += command;
    }
    return content;
}

History::History() : path(requireEnv("HOME") + "/.pellacorvine.history") {}

void History::startLoad(int xDescriptor) {
    if (loadStarted || loaded) {
        return;
    }
    loadStarted = true;
    // Without a helper there are no entries: a read here could hang the key handling.
    loaded = !loading.start([file = path] { return fileContent(file); }, xDescriptor);
}

bool History::ready() {
    if (loadStarted && !loaded && loading.done()) {
        takeContent(loading.take());
    }
    return !loadStarted || loaded;
}

void History::awaitLoad() {
    if (loaded) {
        return;
    }
    if (loadStarted) {
        loading.wait();
        takeContent(loading.take());
    } else {
        takeContent(fileContent(path));
    }
}

void History::takeContent(std::string read) {
    content = std::move(read);
    for (std::size_t start = 0; start < content.size();) {
        const auto* newline = static_cast<const char*>(
            std::memchr(content.data() + start, '\n', content.size() - start));
        const std::size_t end = newline == nullptr
                                    ? content.size()
                                    : static_cast<std::size_t>(newline - content.data());
        if (end > start) {
            starts.push_back(start);
        }
        start = end + 1;
    }
    loaded = true;
}

std::string History::entry(std::int64_t index) const {
    const std::size_t start = starts[static_cast<std::size_t>(index)];
    const auto end = content.find('\n', start);
    return content.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string History::previous() {
    awaitLoad();
    const auto count = static_cast<std::int64_t>(starts.size());
    if (count == 0) {
        return {};
    }
    current = current > 0 ? current - 1 : count - 1;
    return entry(current);
}

std::string History::next() {
    awaitLoad();
    const auto count = static_cast<std::int64_t>(starts.size());
    if (count == 0) {
        return {};
    }
    current = current < count - 1 ? current + 1 : 0;
    return entry(current);
}

void History::save(const std::string& command) {
    const std::string target = resolveLinks(path);
    if (!isMissingOrRegular(target)) {
        return;
    }
    if (access(target.c_str(), W_OK) != 0 && errno != ENOENT) {
        return;  // a file the user made read-only stays as it is
    }
    // One saver at a time: two that overlap would each rename a file without the
    // other's command over the history.
    const FileLock lock(target, lockTimeout);
    // Read again, so that what another launcher recorded since start-up is kept.
    std::string old;
    if (readWholeFile(target, old) == ReadResult::Unreadable) {
        return;  // rewriting a file we cannot read would lose it
    }
    replaceContent(target, old, serializeHistory(splitHistory(old), command), lock.held());
}
