/* The floor for start-up: the least Xlib client that does the launcher's required work
 * (scan PATH with one fstatat per entry, read the two dot-files, connect, a 640x25
 * override-redirect window with size hints, two colours, two GCs, the default font, the
 * pause, the grab, one paint) and exits on Escape. Nothing else. Built three times:
 * scanning first with the 5 ms pause; without a scan with the 1 ms pause; and grabbing
 * right after the map, without a pause, scan or dot-file, before colours, GCs and font. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifndef FLOOR_SCAN
#define FLOOR_SCAN 1
#endif
#ifndef FLOOR_PAUSE_NS
#define FLOOR_PAUSE_NS 5000000
#endif
#ifndef FLOOR_EARLY_GRAB
#define FLOOR_EARLY_GRAB 0
#endif

static int compare(const void* a, const void* b) {
    return strcmp(*(char* const*)a, *(char* const*)b);
}

static void scanPath(void) {
    char* path = strdup(getenv("PATH"));
    size_t count = 0, capacity = 1024;
    char** names = malloc(capacity * sizeof *names);
    uid_t user = getuid();
    gid_t group = getgid();
    for (char* dirName = strtok(path, ":"); dirName; dirName = strtok(NULL, ":")) {
        DIR* dir = opendir(dirName);
        if (!dir) continue;
        struct dirent* entry;
        while ((entry = readdir(dir))) {
            struct stat st;
            if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && (st.st_mode & 0100000) &&
                (((st.st_mode & S_IXUSR) && st.st_uid == user) || (st.st_mode & S_IXOTH) ||
                 ((st.st_mode & S_IXGRP) && st.st_gid == group))) {
                if (count == capacity) names = realloc(names, (capacity *= 2) * sizeof *names);
                names[count++] = strdup(entry->d_name);
            }
        }
        closedir(dir);
    }
    qsort(names, count, sizeof *names, compare);
}

static void readDotFile(const char* name) {
    char path[4096], buffer[65536];
    strcpy(path, getenv("HOME"));
    strcat(path, name);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
}

static unsigned long colour(Display* d, const char* name) {
    XColor c = {0};
    XParseColor(d, DefaultColormap(d, DefaultScreen(d)), name, &c);
    XAllocColor(d, DefaultColormap(d, DefaultScreen(d)), &c);
    return c.pixel;
}

static void grab(Display* d, Window w, int pauseFirst) {
    struct timespec pause = {0, FLOOR_PAUSE_NS};
    if (pauseFirst) nanosleep(&pause, NULL);
    while (XGrabKeyboard(d, w, False, GrabModeAsync, GrabModeAsync, CurrentTime) != GrabSuccess)
        nanosleep(&pause, NULL);
}

int main(void) {
    if (FLOOR_SCAN) scanPath();
    if (!FLOOR_EARLY_GRAB) {
        readDotFile("/.pellacorvine.history");
        readDotFile("/.pellacorvine.bookmarks");
    }
    Display* d = XOpenDisplay(NULL);
    if (!d) return 1;
    int s = DefaultScreen(d);
    XSetWindowAttributes a = {0};
    a.override_redirect = True;
    Window w = XCreateWindow(d, RootWindow(d, s), DisplayWidth(d, s) / 2 - 320,
                             DisplayHeight(d, s) / 2 - 12, 640, 25, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect, &a);
    XSizeHints* h = XAllocSizeHints();
    h->flags = PMinSize | PMaxSize;
    h->min_width = h->max_width = 640;
    h->min_height = h->max_height = 25;
    XSetWMNormalHints(d, w, h);
    XFree(h);
    XMapWindow(d, w);
    if (FLOOR_EARLY_GRAB) grab(d, w, 0);
    unsigned long bg = colour(d, "black"), fg = colour(d, "white");
    GC text = XCreateGC(d, w, 0, NULL);
    XSetForeground(d, text, fg);
    XSetBackground(d, text, bg);
    XFontStruct* font = XLoadQueryFont(d, "-*-*-medium-r-*-*-15-*-*-*-*-*-*-*");
    if (!font) return 1;
    XSetFont(d, text, font->fid);
    GC fill = XCreateGC(d, w, 0, NULL);
    XSetForeground(d, fill, bg);
    if (!FLOOR_EARLY_GRAB) grab(d, w, 1);
    XFillRectangle(d, w, fill, 0, 0, 640, 25);
    XDrawRectangle(d, w, text, 0, 0, 639, 24);
    XDrawString(d, w, text, 2, font->ascent + font->descent + 2, "", 0);
    XDrawLine(d, w, text, 2, font->ascent + font->descent + 4, 12,
              font->ascent + font->descent + 4);
    XFlush(d);
    XSelectInput(d, w, KeyPressMask);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == KeyPress && XLookupKeysym(&e.xkey, 0) == XK_Escape) exit(0);
    }
}
