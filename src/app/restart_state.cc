// The resident's restart state, carried in PELLACORVINE_RESIDENT across each exec, and the
// executable the restart runs.
#include "app/restart_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/sysctl.h>
#endif

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string_view>

namespace {

constexpr char restartVariable[] = "PELLACORVINE_RESIDENT";

// This version's mark; 0.4.0's form had none.
constexpr char formMark[] = "v2";

std::string toHex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : bytes) {
        hex += digits[static_cast<unsigned char>(byte) >> 4];
        hex += digits[static_cast<unsigned char>(byte) & 15];
    }
    return hex;
}

int hexDigit(char digit) {
    static constexpr std::string_view digits = "0123456789abcdef";
    const auto found = digits.find(digit);
    return found == std::string_view::npos ? -1 : static_cast<int>(found);
}

std::optional<std::string> fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high << 4 | low);
    }
    return hex.size() % 2 == 0 ? std::optional(bytes) : std::nullopt;
}

// A whole number of the kind T, and nothing else.
template <typename T>
bool wholeNumber(const std::string& token, T& value) {
    const auto* end = token.data() + token.size();
    return !token.empty() && std::from_chars(token.data(), end, value).ptr == end;
}

// The fields after the mark, every one well formed: three, then three for each opening.
std::optional<RestartState> readFields(std::istringstream& in) {
    const std::vector<std::string> fields{std::istream_iterator<std::string>(in),
                                          std::istream_iterator<std::string>()};
    RestartState state;
    if (fields.size() < 3 || fields.size() % 3 != 0 ||
        !wholeNumber(fields[0], state.stopSignalsIgnored) || state.stopSignalsIgnored > 7) {
        return std::nullopt;
    }
    const auto path = fromHex(fields[1]);
    const auto cookie = fields[2] == "-" ? std::optional<std::string>("") : fromHex(fields[2]);
    if (!path || !cookie || path->empty()) {
        return std::nullopt;
    }
    state.restarted = true;
    state.executable = *path;
    state.authority = *cookie;
    for (std::size_t i = 3; i < fields.size(); i += 3) {
        Opening opening;
        int givenBack = 0;
        if (!wholeNumber(fields[i], opening.pid) ||
            !wholeNumber(fields[i + 1], opening.descriptor) ||
            !wholeNumber(fields[i + 2], givenBack) || opening.pid <= 0 || opening.descriptor <= 2 ||
            givenBack < 0 || givenBack > 1) {
            return std::nullopt;
        }
        opening.chordGivenBack = givenBack == 1;
        state.openings.push_back(opening);
    }
    return state;
}

// An opening's descriptor is the socket to it; one that is none (a stray value's) is not
// read. Its process may have ended and been reaped already.
bool ourOpenings(const RestartState& state) {
    return std::all_of(state.openings.begin(), state.openings.end(), [](const Opening& opening) {
        struct stat status {};
        return fstat(opening.descriptor, &status) == 0 && S_ISSOCK(status.st_mode);
    });
}

}  // namespace

std::string encodeRestartState(const RestartState& state) {
    std::ostringstream out;
    out << formMark << ' ' << state.stopSignalsIgnored << ' ' << toHex(state.executable) << ' '
        << (state.authority.empty() ? "-" : toHex(state.authority));
    for (const Opening& opening : state.openings) {
        out << ' ' << opening.pid << ' ' << opening.descriptor << ' ' << opening.chordGivenBack;
    }
    return out.str();
}

std::optional<RestartState> decodeRestartState(const std::string& value) {
    std::istringstream in(value);
    std::string mark;
    in >> mark;
    if (mark != formMark) {
        in.clear();
        in.str(value);  // 0.4.0's form: the same fields, unmarked
    }
    return readFields(in);
}

RestartState takeRestartState() {
    const char* value = std::getenv(restartVariable);
    if (value == nullptr) {
        return {};
    }
    std::optional<RestartState> state = decodeRestartState(value);
    unsetenv(restartVariable);
    if (!state || !ourOpenings(*state)) {
        RestartState afresh;
        afresh.restarted = true;
        afresh.unreadable = true;
        return afresh;
    }
    for (const Opening& opening : state->openings) {
        fcntl(opening.descriptor, F_SETFD, FD_CLOEXEC);
    }
    return *state;
}

void handOnRestartState(const RestartState& state) {
    for (const Opening& opening : state.openings) {
        fcntl(opening.descriptor, F_SETFD, 0);
    }
    setenv(restartVariable, encodeRestartState(state).c_str(), 1);
}

std::string ownExecutable(const char* argv0) {
#if defined(__linux__)
    constexpr char running[] = "/proc/self/exe";
    if (access(running, X_OK) == 0) {
        return running;
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
