#include "lists/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

// What a save needs to know of the file it adds to.
struct FileEnd {
    std::size_t length = 0;
    bool inSavedForm = true;  // lines separated by single line feeds, none first
    char last = 0;
    std::string lastEntry;  // the line before the end, the last entry in the saved form
};

// The line before the end (and its line feed), found by reading back from there.
bool readLastEntry(int descriptor, FileEnd& end) {
    const std::size_t stop = end.length - (end.last == '\n' ? 1 : 0);
    std::size_t start = stop;
    std::string block;
    while (start > 0) {
        const std::size_t from = start > 4096 ? start - 4096 : 0;
        if (!readAt(descriptor, from, start - from, block)) {
            return false;
        }
        if (const auto newline = block.rfind('\n'); newline != std::string::npos) {
            start = from + newline + 1;
            break;
        }
        start = from;
    }
    return readAt(descriptor, start, stop - start, end.lastEntry);
}

// One pass over the file in pieces, so that a long history costs a save neither memory
// nor a copy; then its last line, read back from the end.
bool readEnd(int descriptor, FileEnd& end) {
    char previous = '\n';  // a leading line feed is an empty first line
    const bool read = readPieces(descriptor, [&](const char* bytes, std::size_t count) {
        // No early exit: the compiler makes vector code of this loop.
        unsigned char doubled = previous == '\n' && bytes[0] == '\n';
        for (std::size_t i = 1; i < count; ++i) {
            doubled |= static_cast<unsigned char>((bytes[i - 1] == '\n') & (bytes[i] == '\n'));
        }
        end.inSavedForm = end.inSavedForm && doubled == 0;
        previous = bytes[count - 1];
        end.length += count;
    });
    end.last = end.length == 0 ? '\0' : previous;
    return read && readLastEntry(descriptor, end);
}

bool adds(const FileEnd& end, const std::string& command) {
    return !command.empty() && end.lastEntry != command;
}

// A line feed unless the file is empty or ends with one, then the command unless it is
// empty or repeats the last entry: the bytes a rewrite would give.
std::string appendedBytes(const FileEnd& end, const std::string& command) {
    std::string bytes;
    if (end.length > 0 && end.last != '\n') {
        bytes += '\n';
    }
    if (adds(end, command)) {
        bytes += command;
    }
    return bytes;
}

// Without the lock another saver may append at any moment, before or after us: a line of
// our own on both sides keeps every line whole whatever the order. The empty line this may
// leave goes at the next save under the lock.
void appendWithoutLock(const std::string& target, const std::string& command) {
    const int descriptor = open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    FileEnd end;
    const bool known =
        descriptor < 0 ? errno == ENOENT : isRegularFile(descriptor) && readEnd(descriptor, end);
    if (descriptor >= 0) {
        close(descriptor);
    }
    if (known && adds(end, command)) {
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
    starts.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1);
    for (std::size_t start = 0; start < content.size();) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
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
    FileEnd end;
    if (!readEnd(lock.descriptor(), end)) {
        return;  // rewriting a file we cannot read would lose it
    }
    if (end.inSavedForm) {
        appendUnderLock(lock.descriptor(), end.length, appendedBytes(end, command));
        return;
    }
    std::string old;
    if (lseek(lock.descriptor(), 0, SEEK_SET) == 0 && readAll(lock.descriptor(), old)) {
        replaceContent(target, old, serializeHistory(splitHistory(old), command),
                       lock.descriptor());
    }
}
