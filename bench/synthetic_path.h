#pragma once

#include <string>

// Fills a fresh directory under /tmp with PATH directories holding about entries names in
// a realistic mix: executables, plain files, symbolic links to files and to directories, a
// dangling link and a subdirectory. Returns the PATH value; the directory stays until
// removeSyntheticPath.
std::string makeSyntheticPath(int entries);
void removeSyntheticPath(const std::string& path);
