/* Preloaded into a launcher: moments that no real server or disk gives on demand.
 * PELLACORVINE_POINTER_HELD=N: the first N pointer grabs find the pointer held elsewhere.
 * PELLACORVINE_SHORT_WRITE=FILE: the first write to FILE stops after three bytes, as
 * another saver appends its line; the next one fails as on a full disk. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

int XGrabPointer(Display* display, Window window, Bool ownerEvents, unsigned int mask,
                 int pointerMode, int keyboardMode, Window confineTo, Cursor cursor, Time time) {
    static int held = -1;
    if (held < 0) {
        const char* count = getenv("PELLACORVINE_POINTER_HELD");
        held = count != NULL ? atoi(count) : 0;
    }
    if (held > 0) {
        --held;
        return AlreadyGrabbed;
    }
    int (*grab)(Display*, Window, Bool, unsigned int, int, int, Window, Cursor, Time);
    void* symbol = real("XGrabPointer");
    memcpy(&grab, &symbol, sizeof grab);
    return grab(display, window, ownerEvents, mask, pointerMode, keyboardMode, confineTo, cursor,
                time);
}

static int isTheFile(int descriptor, const char* path) {
    struct stat open;
    struct stat named;
    return fstat(descriptor, &open) == 0 && stat(path, &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

ssize_t write(int descriptor, const void* bytes, size_t count) {
    static int writes = 0;
    ssize_t (*plain)(int, const void*, size_t);
    void* symbol = real("write");
    memcpy(&plain, &symbol, sizeof plain);
    const char* path = getenv("PELLACORVINE_SHORT_WRITE");
    if (path == NULL || writes >= 2 || !isTheFile(descriptor, path)) {
        return plain(descriptor, bytes, count);
    }
    if (++writes == 2) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t written = plain(descriptor, bytes, count < 3 ? count : 3);
    const int other = open(path, O_WRONLY | O_APPEND);
    if (other >= 0) {
        static const char line[] = "\ninterloper\n";
        plain(other, line, sizeof line - 1);
        close(other);
    }
    return written;
}
