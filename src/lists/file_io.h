#pragma once

#include <string>

// How reading a whole file went.
enum class ReadResult { Ok, Missing, Unreadable };

// Reads the whole file into content with plain read(2) calls. On Unreadable, content holds
// whatever was read before the error.
ReadResult readWholeFile(const std::string& path, std::string& content);

// Writes all of data to the descriptor from its current offset, retrying short writes.
bool writeAll(int descriptor, const std::string& data);
