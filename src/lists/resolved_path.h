#pragma once

// The link rule that guards the history and the bookmarks: a path resolved one component
// at a time, so that no link or file a neighbour planted in a shared directory is followed.
#include <sys/stat.h>
#include <sys/types.h>

#include <deque>
#include <string>

// A path resolved one component at a time, every link followed as the kernel's
// protected_symlinks rule would allow whatever the kernel does: not one in a sticky,
// world-writable directory owned neither by us nor by that directory's owner. What is
// kept is the directory the file lies in, held open, and its name there, so that nothing
// swapped in after the checks is followed: every open is relative to it, without
// following a link.
class ResolvedPath {
public:
    explicit ResolvedPath(const std::string& path);
    ~ResolvedPath();
    ResolvedPath(const ResolvedPath&) = delete;
    ResolvedPath& operator=(const ResolvedPath&) = delete;

    // False for a link refused, a directory missing or unsearchable, or too many links.
    bool ok() const { return directory_ >= 0; }
    int directory() const { return directory_; }
    const std::string& name() const { return name_; }
    // Opens the file, never through a link; -1 (errno EACCES) for a regular file that
    // protected_regular would refuse: in a sticky, world-writable directory, owned
    // neither by us nor by the directory's owner.
    int open(int flags, mode_t mode = 0600) const;
    // The file's status, not following a link; false with errno set.
    bool status(struct stat& result) const;

private:
    bool resolveNext(std::deque<std::string>& rest, int& hops);
    bool stepInto(const std::string& component);

    int directory_ = -1;
    std::string name_;
};
