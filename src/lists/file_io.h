#pragma once

#include <string>

// How reading a whole file went.
enum class ReadResult { Ok, Missing, Unreadable };

// Reads the whole file into content with plain read(2) calls. Anything but a regular file
// (a FIFO, a device, a directory) is Unreadable, found so without blocking. On Unreadable,
// content holds whatever was read before the error.
ReadResult readWholeFile(const std::string& path, std::string& content);

// Writes data from index from on, at the same offset in the file, retrying short writes.
bool writeAll(int descriptor, const std::string& data, std::size_t from = 0);
