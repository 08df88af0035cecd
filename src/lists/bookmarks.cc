// The bookmarks file read into single keys and their commands.
#include "lists/bookmarks.h"

#include "app/require_env.h"
#include "lists/file_io.h"

namespace {

bool isWhitespace(char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

std::size_t skipWhitespace(const std::string& content, std::size_t position) {
    while (position < content.size() && isWhitespace(content[position])) {
        ++position;
    }
    return position;
}

}  // namespace

std::map<char, std::string> parseBookmarks(const std::string& content) {
    std::map<char, std::string> bindings;
    std::size_t position = skipWhitespace(content, 0);
    while (position < content.size()) {
        const char key = content[position];
        const std::size_t start = skipWhitespace(content, position + 1);
        position = start;
        while (position < content.size() && !isWhitespace(content[position])) {
            ++position;
        }
        if (position == start) {
            break;  // a key at the end with no command
        }
        bindings[key] = content.substr(start, position - start);
        position = skipWhitespace(content, position);
    }
    return bindings;
}

namespace {

std::string fileContent(const std::string& path) {
    std::string content;
    readWholeFile(path, content);
    return content;
}

}  // namespace

Bookmarks::Bookmarks() : path(requireEnv("HOME") + "/.pellacorvine.bookmarks") {}

void Bookmarks::startLoad() {
    loading.start([file = path] { return HelperOutput::Reply{fileContent(file)}; });
}

bool Bookmarks::ready() {
    return loading.ready(
        [this](const std::string& content) { commands = parseBookmarks(content); });
}

std::string Bookmarks::lookup(char key) {
    loading.await([this] { return fileContent(path); },
                  [this](const std::string& content) { commands = parseBookmarks(content); });
    const auto found = commands.find(key);
    return found == commands.end() ? std::string() : found->second;
}
