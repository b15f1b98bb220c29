// A window manager just big enough for the GUI tests: it maps the windows
// that ask to be mapped, grants their configure requests, and iconifies a
// window that asks for it (the ICCCM WM_CHANGE_STATE message) by unmapping
// it and setting its WM_STATE to Iconic. Prints READY once it manages the
// root window, then one line per iconified window: ICONIFIED <id>.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

namespace {

bool anotherManager = false;

int onError(Display*, XErrorEvent* error) {
    // Selecting SubstructureRedirect fails with BadAccess when another
    // manager runs; other errors concern windows that went away meanwhile.
    if (error->error_code == BadAccess) anotherManager = true;
    return 0;
}

void setState(Display* display, Window window, Atom wmState, long state) {
    long data[2] = {state, None};
    XChangeProperty(display, window, wmState, wmState, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(data), 2);
}

}  // namespace

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "mini_wm: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(onError);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(display, False);
    if (anotherManager) {
        std::fprintf(stderr, "mini_wm: another window manager runs\n");
        return 1;
    }
    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const Atom changeState = XInternAtom(display, "WM_CHANGE_STATE", False);
    std::printf("READY\n");
    std::fflush(stdout);

    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case MapRequest:
            setState(display, event.xmaprequest.window, wmState, NormalState);
            XMapWindow(display, event.xmaprequest.window);
            break;
        case ConfigureRequest: {
            const XConfigureRequestEvent& request = event.xconfigurerequest;
            XWindowChanges changes{};
            changes.x = request.x;
            changes.y = request.y;
            changes.width = request.width;
            changes.height = request.height;
            changes.border_width = request.border_width;
            changes.sibling = request.above;
            changes.stack_mode = request.detail;
            XConfigureWindow(display, request.window, static_cast<unsigned>(request.value_mask), &changes);
            break;
        }
        case ClientMessage:
            if (event.xclient.message_type == changeState && event.xclient.data.l[0] == IconicState) {
                setState(display, event.xclient.window, wmState, IconicState);
                XUnmapWindow(display, event.xclient.window);
                std::printf("ICONIFIED %lu\n", static_cast<unsigned long>(event.xclient.window));
                std::fflush(stdout);
            }
            break;
        default:
            break;
        }
        XFlush(display);
    }
}
