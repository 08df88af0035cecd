#include "lists/history.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/require_env.h"
#include "lists/file_io.h"

namespace {

// A launcher whose save waits longer than this for another's goes on without the lock.
constexpr std::chrono::milliseconds lockTimeout{1000};

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

History::History() : path(requireEnv("HOME") + "/.pellacorvine.history") {
    std::string content;
    readWholeFile(path, content);
    entries = splitHistory(content);
}

std::string History::previous() {
    const auto count = static_cast<std::int64_t>(entries.size());
    if (count == 0) {
        return {};
    }
    current = current > 0 ? current - 1 : count - 1;
    return entries[static_cast<std::size_t>(current)];
}

std::string History::next() {
    const auto count = static_cast<std::int64_t>(entries.size());
    if (count == 0) {
        return {};
    }
    current = current < count - 1 ? current + 1 : 0;
    return entries[static_cast<std::size_t>(current)];
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
    std::string content;
    if (readWholeFile(target, content) == ReadResult::Unreadable) {
        return;  // rewriting a file we cannot read would lose it
    }
    replaceContent(target, content, serializeHistory(splitHistory(content), command), lock.held());
}
