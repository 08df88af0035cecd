// The resident's restart state, carried in PELLACORVINE_RESIDENT across each exec, and the
// executable the restart runs.
#include "app/restart_state.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/sysctl.h>
#endif

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

constexpr char restartVariable[] = "PELLACORVINE_RESIDENT";

std::string toHex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : bytes) {
        hex += digits[static_cast<unsigned char>(byte) >> 4];
        hex += digits[static_cast<unsigned char>(byte) & 15];
    }
    return hex;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace

std::string encodeRestartState(const RestartState& state) {
    std::ostringstream out;
    out << state.stopSignalsIgnored << ' ' << toHex(state.executable) << ' '
        << (state.authority.empty() ? "-" : toHex(state.authority));
    for (const Opening& opening : state.openings) {
        out << ' ' << opening.pid << ' ' << opening.descriptor << ' ' << opening.chordGivenBack;
    }
    return out.str();
}

RestartState decodeRestartState(const std::string& value) {
    RestartState state;
    std::istringstream in(value);
    std::string executable;
    std::string authority;
    in >> state.stopSignalsIgnored >> executable >> authority;
    state.restarted = true;
    state.executable = fromHex(executable);
    state.authority = fromHex(authority == "-" ? "" : authority);
    for (Opening opening; in >> opening.pid >> opening.descriptor >> opening.chordGivenBack;) {
        state.openings.push_back(opening);
    }
    return state;
}

RestartState takeRestartState() {
    const char* value = std::getenv(restartVariable);
    if (value == nullptr) {
        return {};
    }
    RestartState state = decodeRestartState(value);
    unsetenv(restartVariable);
    for (const Opening& opening : state.openings) {
        fcntl(opening.descriptor, F_SETFD, FD_CLOEXEC);
    }
    return state;
}

void handOnRestartState(const RestartState& state) {
    for (const Opening& opening : state.openings) {
        fcntl(opening.descriptor, F_SETFD, 0);
    }
    setenv(restartVariable, encodeRestartState(state).c_str(), 1);
}

std::string ownExecutable(const char* argv0) {
#if defined(__linux__)
    char running[PATH_MAX] = {};
    if (const ssize_t length = readlink("/proc/self/exe", running, sizeof running - 1);
        length > 0 && access(running, X_OK) == 0) {
        return std::string(running, static_cast<std::size_t>(length));
    }
#elif defined(__FreeBSD__)
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX] = {};
    std::size_t length = sizeof path;
    if (sysctl(name, 4, path, &length, nullptr, 0) == 0) {
        return path;
    }
#endif
    char resolved[PATH_MAX] = {};
    if (std::strchr(argv0, '/') != nullptr) {
        return realpath(argv0, resolved) != nullptr ? resolved : argv0;
    }
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + argv0;
        if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), resolved)) {
            return resolved;
        }
    }
    return argv0;
}
