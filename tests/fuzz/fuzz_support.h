#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the fuzzer with a message when a property does not hold.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// A private HOME and PATH for the whole fuzzing run, made once.
inline const std::string& fuzzHome() {
    static const std::string home = [] {
        std::string pattern = "/tmp/pellacorvine-fuzz-XXXXXX";
        std::string path = mkdtemp(pattern.data());
        setenv("HOME", path.c_str(), 1);
        setenv("PATH", path.c_str(), 1);
        setenv("SHELL", "/bin/true", 1);
        return path;
    }();
    return home;
}

// Everything written to standard error while body runs.
template <typename Body>
std::string capturedStderr(Body body) {
    std::fflush(stderr);
    FILE* capture = std::tmpfile();
    const int saved = dup(2);
    dup2(fileno(capture), 2);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    std::rewind(capture);
    for (int c = std::fgetc(capture); c != EOF; c = std::fgetc(capture)) {
        text += static_cast<char>(c);
    }
    std::fclose(capture);
    return text;
}
