// The history: read in a helper, recalled with Up and Down, and saved with one line more.
#include "lists/history.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/require_env.h"
#include "lists/file_io.h"

namespace {

// The whole file in memory at once where the system can: read as fast as the disk gives it.
#ifdef MAP_POPULATE
constexpr int mapAtOnce = MAP_POPULATE;
#else
constexpr int mapAtOnce = 0;
#endif

// A launcher whose save waits longer than this for another's goes on without the lock.
constexpr std::chrono::milliseconds lockTimeout{1000};

// What the read hands over before the file's bytes: its summary, then its last entry.
struct SummaryHeader {
    std::uint64_t device;
    std::uint64_t inode;
    FileStamps stamps;
    std::uint64_t length;
    std::uint64_t lastEntryBytes;
    std::uint8_t identified;
    std::uint8_t stampsTrusted;
    std::uint8_t inSavedForm;
    char last;
};

FileStamps stampsOf(const struct stat& status) {
#if defined(__APPLE__)
    const timespec& modified = status.st_mtimespec;
    const timespec& changed = status.st_ctimespec;
#else
    const timespec& modified = status.st_mtim;
    const timespec& changed = status.st_ctim;
#endif
    return {{modified.tv_sec, modified.tv_nsec}, {changed.tv_sec, changed.tv_nsec}};
}

// True where two line feeds meet, the one before bytes included. No early exit: the
// compiler makes vector code of this loop.
bool hasEmptyLine(const char* bytes, std::size_t count, char before) {
    unsigned char doubled = before == '\n' && bytes[0] == '\n';
    for (std::size_t i = 1; i < count; ++i) {
        doubled |= static_cast<unsigned char>((bytes[i - 1] == '\n') & (bytes[i] == '\n'));
    }
    return doubled != 0;
}

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

// One pass over the file from end.length on, in pieces, so that a long history costs a
// save neither memory nor a copy; then its last line, read back from the end.
bool readOn(int descriptor, FileEnd& end) {
    char previous = end.length == 0 ? '\n' : end.last;  // a leading line feed: an empty line
    const bool read = readPieces(descriptor, end.length, [&](const char* bytes, std::size_t count) {
        end.inSavedForm = end.inSavedForm && !hasEmptyLine(bytes, count, previous);
        previous = bytes[count - 1];
        end.length += count;
    });
    end.last = end.length == 0 ? '\0' : previous;
    return read && readLastEntry(descriptor, end);
}

// The file exactly as the read saw it: the same file, length and stamps, and stamps that
// could not have stayed the same through a write after the read. Then nothing of it need
// be read again; else all of it, since a write in place can keep the length and the last
// entry (and appends by others are as rare as they are short).
bool unchangedSinceRead(int descriptor, const FileEnd& seen) {
    struct stat status {};
    return seen.identified && seen.stampsTrusted && fstat(descriptor, &status) == 0 &&
           static_cast<std::uint64_t>(status.st_dev) == seen.device &&
           static_cast<std::uint64_t>(status.st_ino) == seen.inode &&
           static_cast<std::size_t>(status.st_size) == seen.length &&
           stampsOf(status) == seen.stamps;
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
void appendWithoutLock(const ResolvedPath& file, const std::string& command) {
    const int descriptor = file.open(O_RDONLY | O_NONBLOCK);
    FileEnd end;
    const bool known =
        descriptor < 0 ? errno == ENOENT : isRegularFile(descriptor) && readOn(descriptor, end);
    if (descriptor >= 0) {
        close(descriptor);
    }
    if (known && adds(end, command)) {
        appendToFile(file, '\n' + command + '\n');
    }
}

// What a save needs of the content, as one pass of it sees it.
FileEnd describe(std::string_view content) {
    FileEnd end;
    end.length = content.size();
    end.last = content.empty() ? '\0' : content.back();
    end.inSavedForm = content.empty() || !hasEmptyLine(content.data(), content.size(), '\n');
    const std::size_t stop = content.size() - (end.last == '\n' ? 1 : 0);
    const std::size_t newline = stop == 0 ? std::string_view::npos : content.rfind('\n', stop - 1);
    const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    end.lastEntry = content.substr(start, stop - start);
    return end;
}

std::string encodeSummary(const FileEnd& end) {
    const SummaryHeader header{
        end.device,     end.inode,         end.stamps,      end.length, end.lastEntry.size(),
        end.identified, end.stampsTrusted, end.inSavedForm, end.last};
    std::string bytes(sizeof header, '\0');
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes + end.lastEntry;
}

// The summary at the front of bytes, and how many bytes it takes; 0 when not all there.
std::size_t decodeSummary(std::string_view bytes, FileEnd& end) {
    SummaryHeader header{};
    if (bytes.size() < sizeof header) {
        return 0;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (bytes.size() - sizeof header < header.lastEntryBytes) {
        return 0;
    }
    end.identified = header.identified != 0;
    end.device = header.device;
    end.inode = header.inode;
    end.stamps = header.stamps;
    end.stampsTrusted = header.stampsTrusted != 0;
    end.length = header.length;
    end.inSavedForm = header.inSavedForm != 0;
    end.last = header.last;
    end.lastEntry = bytes.substr(sizeof header, header.lastEntryBytes);
    return sizeof header + header.lastEntryBytes;
}

// How finely a file system that keeps nanoseconds stamps a write: the tick of the clock
// the kernel stamps with, where it says (Linux's coarse clock, 1 to 10 ms); else a tenth
// of a second, which no common kernel's tick reaches.
std::int64_t stampTickNanoseconds() {
#ifdef CLOCK_REALTIME_COARSE
    timespec tick{};
    if (clock_getres(CLOCK_REALTIME_COARSE, &tick) == 0 && tick.tv_sec == 0) {
        return std::max<std::int64_t>(tick.tv_nsec, 1000000);
    }
#endif
    return 100000000;
}

}  // namespace

bool stampsSettled(const FileStamps& stamps, std::int64_t nowSeconds, std::int64_t nowNanoseconds,
                   std::int64_t tick) {
    constexpr std::int64_t billion = 1000000000;
    const bool wholeSeconds = stamps.modified[1] == 0 && stamps.changed[1] == 0;
    const std::int64_t blur = wholeSeconds ? 2 * billion : 2 * tick;
    const auto nanoseconds = [](const std::int64_t stamp[2]) {
        return stamp[0] * billion + stamp[1];
    };
    const std::int64_t latest = std::max(nanoseconds(stamps.modified), nanoseconds(stamps.changed));
    return nowSeconds * billion + nowNanoseconds - latest >= blur;
}

HelperOutput::Reply mapHistoryFile(const std::string& path) {
    FileEnd seen;
    std::string_view bytes;
    const int descriptor = ResolvedPath(path).open(O_RDONLY | O_NONBLOCK);
    struct stat status {};
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        const auto size = static_cast<std::size_t>(status.st_size);
        void* mapped = size == 0
                           ? nullptr
                           : mmap(nullptr, size, PROT_READ, MAP_PRIVATE | mapAtOnce, descriptor, 0);
        if (mapped != MAP_FAILED) {
            bytes =
                std::string_view(static_cast<const char*>(mapped), mapped == nullptr ? 0 : size);
            seen = describe(bytes);
            seen.identified = true;
            seen.device = static_cast<std::uint64_t>(status.st_dev);
            seen.inode = static_cast<std::uint64_t>(status.st_ino);
            seen.stamps = stampsOf(status);
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);  // after the read: a write during it counts
            seen.stampsTrusted =
                stampsSettled(seen.stamps, now.tv_sec, now.tv_nsec, stampTickNanoseconds());
        }
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
    return {encodeSummary(seen), bytes};
}

std::string readHistoryFile(const std::string& path) {
    const HelperOutput::Reply reply = mapHistoryFile(path);
    std::string read = reply.made;
    read.append(reply.inPlace);
    if (!reply.inPlace.empty()) {
        munmap(const_cast<char*>(reply.inPlace.data()), reply.inPlace.size());
    }
    return read;
}

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

void History::startLoad() {
    loading.start([file = path] { return mapHistoryFile(file); });
}

bool History::ready() {
    return loading.ready([this](std::string read) { takeContent(std::move(read)); });
}

void History::awaitLoad() {
    loading.await([this] { return readHistoryFile(path); },
                  [this](std::string read) { takeContent(std::move(read)); });
}

void History::takeContent(std::string read) {
    content = std::move(read);
    FileEnd end;
    const std::size_t first = decodeSummary(content, end);
    if (first > 0) {
        seen = std::move(end);
    }
    starts.reserve(static_cast<std::size_t>(std::count(
                       content.begin() + static_cast<std::ptrdiff_t>(first), content.end(), '\n')) +
                   1);
    for (std::size_t start = first; start < content.size();) {
        const std::size_t stop = std::min(content.find('\n', start), content.size());
        if (stop > start) {
            starts.push_back(start);
        }
        start = stop + 1;
    }
}

// What the read saw, if it has seen the whole file by now: its summary comes first. A
// read still under way ends here; the save's own pass is then as quick as waiting for it.
std::optional<FileEnd> History::seenByTheRead() {
    if (loading.underWay()) {
        loading.helper().done();  // what has come by now
        FileEnd end;
        const bool whole = decodeSummary(loading.helper().partial(), end) > 0;
        loading.helper().stop();
        return whole ? std::optional(end) : std::nullopt;
    }
    return seen;
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
// What the read saw spares reading the file again, as long as nothing has written to it.
void History::save(const std::string& command) {
    const std::optional<FileEnd> read = seenByTheRead();
    const ResolvedPath file(path);
    if (!isMissingOrRegular(file)) {
        return;
    }
    if (faccessat(file.directory(), file.name().c_str(), W_OK, 0) != 0 && errno != ENOENT) {
        return;  // a file the user made read-only stays as it is
    }
    const FileLock lock(file, lockTimeout);
    if (!lock.held()) {
        appendWithoutLock(file, command);
        return;
    }
    // Read again, under the lock, so that what other launchers recorded is kept.
    FileEnd end;
    if (read && unchangedSinceRead(lock.descriptor(), *read)) {
        end = *read;
    } else if (!readOn(lock.descriptor(), end)) {
        return;  // rewriting a file we cannot read would lose it
    }
    if (end.inSavedForm) {
        appendUnderLock(lock.descriptor(), end.length, appendedBytes(end, command));
        return;
    }
    std::string old;
    if (readAll(lock.descriptor(), old)) {
        replaceContent(file, old, serializeHistory(splitHistory(old), command), lock.descriptor());
    }
}
