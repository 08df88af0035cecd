// A stand-in shell: records its arguments and open descriptors, so that a test sees
// exactly what the launcher started. Writes to $PELLACORVINE_RECORD atomically.
#include <fcntl.h>
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
    const std::string temporary = std::string(target) + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        return 3;
    }
    std::fwrite(record.data(), 1, record.size(), out);
    std::fclose(out);
    return std::rename(temporary.c_str(), target) == 0 ? 0 : 4;
}
