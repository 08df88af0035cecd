// Micro-benchmarks of the work the launcher does at start-up and per key, each beside
// the floor: the least code that does the same required work.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "completion/completion.h"
#include "lists/bookmarks.h"
#include "lists/history.h"
#include "synthetic_path.h"
#include "test_support.h"

namespace {

// One synthetic PATH per size, made once and kept for the whole run.
std::map<int, std::string>& syntheticPaths() {
    static std::map<int, std::string> paths;
    return paths;
}

const std::string& syntheticPath(int entries) {
    auto& path = syntheticPaths()[entries];
    if (path.empty()) {
        path = makeSyntheticPath(entries);
    }
    return path;
}

// The bare scan: opendir, readdir, fstatat, the type and permission tests, a sort.
std::vector<std::string> floorScan(const std::string& path) {
    const uid_t user = getuid();
    const gid_t group = getgid();
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const auto colon = path.find(':', start);
        if (DIR* dir = opendir(path.substr(start, colon - start).c_str())) {
            const int fd = dirfd(dir);
            while (const dirent* entry = readdir(dir)) {
                struct stat st;
                if (fstatat(fd, entry->d_name, &st, 0) == 0 && (st.st_mode & 0100000) &&
                    (((st.st_mode & S_IXUSR) && st.st_uid == user) || (st.st_mode & S_IXOTH) ||
                     ((st.st_mode & S_IXGRP) && st.st_gid == group))) {
                    names.emplace_back(entry->d_name);
                }
            }
            closedir(dir);
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

void BM_IndexBuild(benchmark::State& state) {
    setenv("PATH", syntheticPath(static_cast<int>(state.range(0))).c_str(), 1);
    for (auto _ : state) {
        Completion completion;
        benchmark::DoNotOptimize(completion.index().data());
    }
}
BENCHMARK(BM_IndexBuild)->Arg(2000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMicrosecond);

void BM_IndexBuildFloor(benchmark::State& state) {
    const std::string& path = syntheticPath(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto names = floorScan(path);
        benchmark::DoNotOptimize(names.data());
    }
}
BENCHMARK(BM_IndexBuildFloor)->Arg(2000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMicrosecond);

Completion& bigIndex() {
    static Completion* completion = [] {
        setenv("PATH", syntheticPath(20000).c_str(), 1);
        return new Completion;
    }();
    return *completion;
}

// A new cycle each time: the first Tab after typing prefix.
void BM_CompleteFirstTab(benchmark::State& state, const char* prefix) {
    Completion& completion = bigIndex();
    for (auto _ : state) {
        completion.reset();
        benchmark::DoNotOptimize(completion.complete(prefix));
    }
}
BENCHMARK_CAPTURE(BM_CompleteFirstTab, matching, "tool-7-1");
BENCHMARK_CAPTURE(BM_CompleteFirstTab, no_match, "zz-nothing");

void BM_CompleteLaterTabs(benchmark::State& state) {
    Completion& completion = bigIndex();
    completion.reset();
    std::string line = completion.complete("tool-3");
    for (auto _ : state) {
        line = completion.complete(line);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_CompleteLaterTabs);

// A HOME holding a history of the given number of entries and a bookmarks file.
std::string homeWith(int historyEntries, int bookmarkPairs) {
    std::string pattern = "/tmp/pellacorvine-bench-home-XXXXXX";
    const std::string home = mkdtemp(pattern.data());
    std::ofstream history(home + "/.pellacorvine.history", std::ios::binary);
    for (int i = 0; i < historyEntries; ++i) {
        history << "command number " << i << " --with arguments\n";
    }
    std::ofstream bookmarks(home + "/.pellacorvine.bookmarks", std::ios::binary);
    for (int i = 0; i < bookmarkPairs; ++i) {
        bookmarks << static_cast<char>('!' + i % 90) << " command-" << i << "\n";
    }
    return home;
}

void BM_HistoryLoad(benchmark::State& state) {
    const std::string home = homeWith(static_cast<int>(state.range(0)), 0);
    setenv("HOME", home.c_str(), 1);
    for (auto _ : state) {
        History history;
        benchmark::DoNotOptimize(history.previous());
    }
    std::filesystem::remove_all(home);
}
// 2,600,000 lines: a history of about 100 MB.
BENCHMARK(BM_HistoryLoad)->Arg(10000)->Arg(100000)->Arg(2600000)->Unit(benchmark::kMicrosecond);

void BM_HistorySave(benchmark::State& state) {
    const std::string home = homeWith(static_cast<int>(state.range(0)), 0);
    setenv("HOME", home.c_str(), 1);
    History history;
    for (auto _ : state) {
        history.save("a new command");
    }
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_HistorySave)->Arg(10000)->Arg(100000)->Arg(2600000)->Unit(benchmark::kMicrosecond);

// N launchers saving at the same instant, each a forked process let go by one pipe:
// wall time until all are done, and the share of their commands the history kept.
void BM_HistorySaveContended(benchmark::State& state) {
    const int savers = static_cast<int>(state.range(0));
    const std::string home = homeWith(2000, 0);
    setenv("HOME", home.c_str(), 1);
    int started = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Gate gate;
        const auto children = forkChildren(savers, [&](int i) {
            History history;
            gate.pass();
            history.save("saver " + std::to_string(started + i));
        });
        started += savers;
        state.ResumeTiming();
        gate.open();
        waitForAll(children);
    }
    std::ifstream file(home + "/.pellacorvine.history", std::ios::binary);
    const auto lines = splitHistory({std::istreambuf_iterator<char>(file), {}});
    const auto kept = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("saver ");
    });
    state.counters["kept"] = static_cast<double>(kept) / std::max(started, 1);
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_HistorySaveContended)
    ->Arg(2)
    ->Arg(10)
    ->Arg(50)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_BookmarksLoad(benchmark::State& state) {
    const std::string home = homeWith(0, 1000);
    setenv("HOME", home.c_str(), 1);
    for (auto _ : state) {
        Bookmarks bookmarks;
        benchmark::DoNotOptimize(bookmarks.lookup('a'));
    }
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_BookmarksLoad)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [entries, path] : syntheticPaths()) {
        removeSyntheticPath(path);
    }
    return 0;
}
