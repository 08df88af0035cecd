/* Preloaded into a resident: the first process to take the keyboard stops just before it
 * does, as one held up in a debugger or swapped out. The marker file that
 * PELLACORVINE_STOP_ONCE names goes first, so that only one process ever stops. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int XGrabKeyboard(Display* display, Window window, Bool ownerEvents, int pointerMode,
                  int keyboardMode, Time time) {
    static int (*real)(Display*, Window, Bool, int, int, Time);
    if (real == NULL) {
        void* symbol = dlsym(RTLD_NEXT, "XGrabKeyboard");
        memcpy(&real, &symbol, sizeof real);
    }
    const char* marker = getenv("PELLACORVINE_STOP_ONCE");
    if (marker != NULL && unlink(marker) == 0) {
        raise(SIGSTOP);
    }
    return real(display, window, ownerEvents, pointerMode, keyboardMode, time);
}
