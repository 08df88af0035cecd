#include "completion/completion.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "app/require_env.h"

namespace {

// One bit, not the whole type field: sockets carry it too and are listed.
constexpr mode_t regularFileBit = 0100000;

// The scan recurses nowhere; this leaves room for the sanitizers' own frames.
constexpr std::size_t scanStackBytes = std::size_t{256} * 1024;

bool isExecutableFile(const struct stat& status, uid_t user, gid_t group) {
    if ((status.st_mode & regularFileBit) == 0) {
        return false;
    }
    return ((status.st_mode & S_IXUSR) != 0 && status.st_uid == user) ||
           (status.st_mode & S_IXOTH) != 0 ||
           ((status.st_mode & S_IXGRP) != 0 && status.st_gid == group);
}

// A directory by its device and inode: /bin and /usr/bin are one where /usr is merged.
using DirectoryId = std::pair<dev_t, ino_t>;

// An empty component fails to open and so adds nothing, as any unopenable one. A
// directory already read under another name adds nothing either.
void scanDirectory(const std::string& directory, uid_t user, gid_t group,
                   std::vector<DirectoryId>& read, std::vector<std::string>& names) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return;
    }
    const int descriptor = dirfd(stream);
    struct stat self {};
    if (fstat(descriptor, &self) == 0) {
        const DirectoryId id{self.st_dev, self.st_ino};
        if (std::find(read.begin(), read.end(), id) != read.end()) {
            closedir(stream);
            return;
        }
        read.push_back(id);
    }
    while (const dirent* entry = readdir(stream)) {
        struct stat status {};
        if (fstatat(descriptor, entry->d_name, &status, 0) == 0 &&
            isExecutableFile(status, user, group)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(stream);
}

// A scan that fails part-way leaves completion without names, not the user without the
// launcher.
std::vector<std::string> scanOrEmpty(Completion::Scanner scan, const std::string& searchPath,
                                     uid_t user, gid_t group) noexcept {
    try {
        return scan(searchPath, user, group);
    } catch (...) {
        return {};
    }
}

// The write end of the hand-over pipe, closed when its owner goes.
class WriteEnd {
public:
    explicit WriteEnd(int descriptor) : descriptor_(descriptor) {}
    ~WriteEnd() { close(descriptor_); }
    WriteEnd(const WriteEnd&) = delete;
    WriteEnd& operator=(const WriteEnd&) = delete;
    WriteEnd(WriteEnd&&) = delete;
    WriteEnd& operator=(WriteEnd&&) = delete;

private:
    int descriptor_;
};

// Everything the scan thread reads or writes: it owns this until it hands the index
// over through the promise, so a launcher gone meanwhile is never touched. Closing
// handedOver then wakes a Tab that waits for the index beside the X connection.
struct ScanJob {
    Completion::Scanner scan;
    std::string searchPath;
    uid_t user;
    gid_t group;
    std::promise<std::vector<std::string>> index;
    WriteEnd handedOver;
};

void* runScan(void* argument) {
    const std::unique_ptr<ScanJob> job(static_cast<ScanJob*>(argument));
    job->index.set_value(scanOrEmpty(job->scan, job->searchPath, job->user, job->group));
    return nullptr;
}

// Detached: nobody joins it, so Escape and Return never wait for a directory that hangs.
bool startDetached(std::unique_ptr<ScanJob>& job) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, scanStackBytes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, runScan, job.get()) == 0;
    pthread_attr_destroy(&attributes);
    if (started) {
        static_cast<void>(job.release());
    }
    return started;
}

}  // namespace

std::vector<std::string> scanPath(const std::string& searchPath, uid_t user, gid_t group) {
    std::vector<std::string> names;
    std::vector<DirectoryId> read;
    std::size_t start = 0;
    for (;;) {
        const auto colon = searchPath.find(':', start);
        scanDirectory(searchPath.substr(start, colon - start), user, group, read, names);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

Completion::Completion() : searchPath(requireEnv("PATH")), user(getuid()), group(getgid()) {}

Completion::~Completion() {
    if (indexReady >= 0) {
        close(indexReady);
    }
}

void Completion::startScan(Scanner scan) {
    int ends[2];
    if (indexed || pendingScan.valid() || pipe2(ends, O_CLOEXEC) != 0) {
        return;  // without a pipe to wake the event loop, the first Tab scans instead
    }
    std::unique_ptr<ScanJob> job(new ScanJob{scan, searchPath, user, group, {}, WriteEnd(ends[1])});
    pendingScan = job->index.get_future();
    if (startDetached(job)) {
        indexReady = ends[0];
    } else {
        pendingScan = {};  // no thread to be had: the first Tab scans instead
        close(ends[0]);
    }
}

bool Completion::ready() const {
    return !pendingScan.valid() ||
           pendingScan.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void Completion::awaitIndex() {
    if (pendingScan.valid()) {
        entries = pendingScan.get();
    } else if (!indexed) {
        entries = scanOrEmpty(scanPath, searchPath, user, group);
    }
    indexed = true;
}

const std::vector<std::string>& Completion::index() {
    awaitIndex();
    return entries;
}

bool Completion::findMatch(std::size_t from, std::string& match) {
    for (std::size_t i = from; i < entries.size(); ++i) {
        if (entries[i].starts_with(prefix)) {
            current = i + 1;
            match = entries[i];
            return true;
        }
    }
    return false;
}

std::string Completion::complete(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    awaitIndex();
    if (prefix.empty()) {
        prefix = text;
    }
    std::string match;
    if (findMatch(current, match) || findMatch(0, match)) {
        return match;
    }
    current = 0;
    return text;
}

void Completion::reset() {
    prefix.clear();
    current = 0;
}
