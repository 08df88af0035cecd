#pragma once

// The environment lookup that every folder uses.
#include <string>

// Value of an environment variable; throws std::runtime_error when it is not set.
std::string requireEnv(const std::string& name);
