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

// The form every save leaves: lines separated by single line feeds, none first.
bool inSavedForm(const std::string& content) {
    return !content.starts_with('\n') && content.find("\n\n") == std::string::npos;
}

// The last non-empty line.
std::string lastEntry(const std::string& content) {
    const auto end = content.find_last_not_of('\n');
    if (end == std::string::npos) {
        return {};
    }
    const auto newline = content.rfind('\n', end);
    const auto start = newline == std::string::npos ? 0 : newline + 1;
    return content.substr(start, end + 1 - start);
}

bool adds(const std::string& content, const std::string& command) {
    return !command.empty() && lastEntry(content) != command;
}

// Without the lock another saver may append at any moment, before or after us: a line of
// our own on both sides keeps every line whole whatever the order. The empty line this may
// leave goes at the next save under the lock.
void appendWithoutLock(const std::string& target, const std::string& command) {
    std::string content;
    if (readWholeFile(target, content) != ReadResult::Unreadable && adds(content, command)) {
        appendToFile(target, '\n' + command + '\n');
    }
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

std::string appendedBytes(const std::string& content, const std::string& command) {
    std::string bytes;
    if (!content.empty() && content.back() != '\n') {
        bytes += '\n';
    }
    if (adds(content, command)) {
        bytes += command;
    }
    return bytes;
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

// Under the lock a file in the saved form gets only the new line appended; any other is
// rewritten whole, which drops its empty lines. Without the lock nothing is rewritten.
void History::save(const std::string& command) {
    const std::string target = resolveLinks(path);
    if (!isMissingOrRegular(target)) {
        return;
    }
    if (access(target.c_str(), W_OK) != 0 && errno != ENOENT) {
        return;  // a file the user made read-only stays as it is
    }
    const FileLock lock(target, lockTimeout);
    if (!lock.held()) {
        appendWithoutLock(target, command);
        return;
    }
    // Read again, under the lock, so that what other launchers recorded is kept.
    std::string old;
    if (!readAll(lock.descriptor(), old)) {
        return;  // rewriting a file we cannot read would lose it
    }
    if (inSavedForm(old)) {
        appendUnderLock(lock.descriptor(), old.size(), appendedBytes(old, command));
    } else {
        replaceContent(target, old, serializeHistory(splitHistory(old), command),
                       lock.descriptor());
    }
}
