/* The floor for a hotkey: the least client that holds a chord as the resident does (a
 * passive grab that freezes the keyboard at the press), with its window, colours, GCs and
 * font made before the press. At each press it centres the window on the screen, maps it,
 * takes the keyboard and paints; Escape unmaps it and lets go. Nothing else.
 *   floor_hotkey KEYSYM   (held with Super) */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

static unsigned long colour(Display* d, const char* name) {
    XColor c = {0};
    XParseColor(d, DefaultColormap(d, DefaultScreen(d)), name, &c);
    XAllocColor(d, DefaultColormap(d, DefaultScreen(d)), &c);
    return c.pixel;
}

int main(int argc, char** argv) {
    Display* d = XOpenDisplay(NULL);
    if (!d || argc != 2) return 1;
    int s = DefaultScreen(d);
    Window root = RootWindow(d, s);
    XSetWindowAttributes a = {0};
    a.override_redirect = True;
    a.event_mask = KeyPressMask | ExposureMask;
    Window w = XCreateWindow(d, root, -640, -25, 640, 25, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
    XSizeHints h = {0};
    h.flags = PMinSize | PMaxSize;
    h.min_width = h.max_width = 640;
    h.min_height = h.max_height = 25;
    XSetWMNormalHints(d, w, &h);
    unsigned long bg = colour(d, "black"), fg = colour(d, "white");
    XFontStruct* font = XLoadQueryFont(d, "-*-*-medium-r-*-*-15-*-*-*-*-*-*-*");
    if (!font) return 1;
    GC text = XCreateGC(d, w, 0, NULL);
    XSetForeground(d, text, fg);
    XSetBackground(d, text, bg);
    XSetFont(d, text, font->fid);
    GC fill = XCreateGC(d, w, 0, NULL);
    XSetForeground(d, fill, bg);
    XGrabKey(d, XKeysymToKeycode(d, XStringToKeysym(argv[1])), Mod4Mask, root, False, GrabModeAsync,
             GrabModeSync);
    XSync(d, False);
    for (;;) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == KeyPress && e.xkey.window == root) {
            XMoveWindow(d, w, DisplayWidth(d, s) / 2 - 320, DisplayHeight(d, s) / 2 - 12);
            XMapWindow(d, w);
            XGrabKeyboard(d, w, False, GrabModeAsync, GrabModeAsync, CurrentTime);
        } else if (e.type == KeyPress && XLookupKeysym(&e.xkey, 0) == XK_Escape) {
            XUngrabKeyboard(d, CurrentTime);
            XUnmapWindow(d, w);
            XFlush(d);
            continue;
        } else if (e.type != Expose) {
            continue;
        }
        XFillRectangle(d, w, fill, 0, 0, 640, 25);
        XDrawRectangle(d, w, text, 0, 0, 639, 24);
        XDrawLine(d, w, text, 2, font->ascent + font->descent + 4, 12,
                  font->ascent + font->descent + 4);
        XFlush(d);
    }
}
