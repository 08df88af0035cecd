// A stand-in shell: records its arguments, open descriptors and the signals it ignores or
// blocks, so that a test sees exactly what the launcher started. Writes to
// $PELLACORVINE_RECORD atomically.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const char* target = std::getenv("PELLACORVINE_RECORD");
    if (target == nullptr) {
        return 2;
    }
    std::string record;
    for (int i = 0; i < argc; ++i) {
        record += "arg:";
        record += argv[i];
        record += '\n';
    }
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            record += "fd:" + std::to_string(fd) + '\n';
        }
    }
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (int number = 1; number < 32; ++number) {
        struct sigaction action {};
        if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            record += "ignored:" + std::to_string(number) + '\n';
        }
        if (sigismember(&blocked, number) == 1) {
            record += "blocked:" + std::to_string(number) + '\n';
        }
    }
    const std::string temporary = std::string(target) + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        return 3;
    }
    std::fwrite(record.data(), 1, record.size(), out);
    std::fclose(out);
    return std::rename(temporary.c_str(), target) == 0 ? 0 : 4;
}
