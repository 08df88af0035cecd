// The environment lookup that every folder uses.
#include "app/require_env.h"

#include <cstdlib>
#include <stdexcept>

std::string requireEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        throw std::runtime_error("Could not find " + name + " environment variable");
    }
    return value;
}
