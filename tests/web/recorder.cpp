// A program on the helped person's desktop that records what reaches it: keys (as key-downs and
// key-ups, and the lines they type), buttons, drags and the wheel, and the clipboard. It shows the
// lines typed so far, as a terminal would, and, when asked, an animation elsewhere on the screen
// (a photo-like square that the VNC server sends as JPEG while it moves).
//
//   velmora-input-recorder                   (DISPLAY names the X display)
//
// Standard output, one event per line, flushed at once:
//   ready WIDTH HEIGHT
//   down KEYSYM / up KEYSYM      a key (KEYSYM as XKeysymToString names it); a second "down"
//                                without an "up" between is the X server's auto-repeat
//   line TEXT                    the text typed since the last Return (UTF-8), at Return
//   press N X Y / release N X Y  button N (4 and 5 are the wheel)
//   drag X Y                     the pointer moved with a button held
//   clipboard TEXT               answer to "get-clipboard" (UTF-8; newlines as \n)
//   owned / animating / still
// Commands on standard input, one per line:
//   animate / still              start or stop the animation
//   set-clipboard TEXT           own the CLIPBOARD selection with TEXT
//   get-clipboard                ask the CLIPBOARD's owner for its text
//   quit

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kSquare = 256;        // the animated square's side
constexpr int kFrameMs = 16;        // about 60 frames a second
constexpr int kLineHeight = 18;
constexpr int kTextLeft = 20;
constexpr int kTextTop = 40;

void say(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

class Recorder
{
public:
    explicit Recorder(Display *display) : display(display)
    {
        const int screen = DefaultScreen(display);
        width = DisplayWidth(display, screen);
        height = DisplayHeight(display, screen);
        XSetWindowAttributes attributes{};
        attributes.background_pixel = WhitePixel(display, screen);
        attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask |
                                ButtonReleaseMask | Button1MotionMask | Button2MotionMask |
                                Button3MotionMask | ExposureMask | StructureNotifyMask;
        window = XCreateWindow(display, RootWindow(display, screen), 0, 0, width, height, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixel | CWEventMask, &attributes);
        XStoreName(display, window, "velmora-input-recorder");
        gc = XCreateGC(display, window, 0, nullptr);
        // Repeats then come as key-downs without key-ups, so that a test sees them as such.
        Bool supported = False;
        XkbSetDetectableAutoRepeat(display, True, &supported);
        clipboard = XInternAtom(display, "CLIPBOARD", False);
        utf8 = XInternAtom(display, "UTF8_STRING", False);
        targets = XInternAtom(display, "TARGETS", False);
        property = XInternAtom(display, "VELMORA_CLIPBOARD", False);
        im = XOpenIM(display, nullptr, nullptr, nullptr);
        if (im)
            ic = XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                           window, XNFocusWindow, window, nullptr);
        XMapRaised(display, window);
    }

    void run()
    {
        bool running = true;
        auto nextFrame = std::chrono::steady_clock::now();
        std::string input;
        while (running) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                handle(event);
            }
            int timeout = -1;
            if (animating) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= nextFrame) {
                    drawSquare();
                    XFlush(display);
                    ++frame;
                    nextFrame = now + std::chrono::milliseconds(kFrameMs);
                }
                timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  nextFrame - std::chrono::steady_clock::now())
                                  .count());
                if (timeout < 0)
                    timeout = 0;
            }
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {0, POLLIN, 0}};
            if (poll(fds, 2, timeout) < 0)
                continue;
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                char buffer[4096];
                const ssize_t n = read(0, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                input.append(buffer, std::size_t(n));
                for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
                    running = command(input.substr(0, end)) && running;
                    input.erase(0, end + 1);
                }
            }
        }
    }

private:
    bool command(const std::string &line)
    {
        if (line == "quit")
            return false;
        if (line == "animate") {
            animating = true;
            say("animating");
        } else if (line == "still") {
            animating = false;
            say("still");
        } else if (line.rfind("set-clipboard ", 0) == 0) {
            ownedText = line.substr(14);
            XSetSelectionOwner(display, clipboard, window, CurrentTime);
            if (XGetSelectionOwner(display, clipboard) == window)
                say("owned");
        } else if (line == "get-clipboard") {
            XConvertSelection(display, clipboard, utf8, property, window, CurrentTime);
        }
        XFlush(display);
        return true;
    }

    void handle(XEvent &event)
    {
        switch (event.type) {
        case MapNotify:
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            redraw();
            say("ready " + std::to_string(width) + " " + std::to_string(height));
            break;
        case Expose:
            if (event.xexpose.count == 0)
                redraw();
            break;
        case KeyPress:
            key(event.xkey, true);
            break;
        case KeyRelease:
            key(event.xkey, false);
            break;
        case ButtonPress:
        case ButtonRelease:
            say(std::string(event.type == ButtonPress ? "press " : "release ") +
                std::to_string(event.xbutton.button) + " " + std::to_string(event.xbutton.x) +
                " " + std::to_string(event.xbutton.y));
            break;
        case MotionNotify:
            say("drag " + std::to_string(event.xmotion.x) + " " +
                std::to_string(event.xmotion.y));
            break;
        case MappingNotify:
            // The VNC server adds keysyms that the keymap lacks (such as "ñ" or "€") to spare
            // keycodes; without this the new mapping would not be seen.
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        case SelectionRequest:
            serve(event.xselectionrequest);
            break;
        case SelectionClear:
            ownedText.clear();
            break;
        case SelectionNotify:
            received(event.xselection);
            break;
        default:
            break;
        }
    }

    void key(XKeyEvent &event, bool down)
    {
        char text[64] = {};
        KeySym keysym = NoSymbol;
        int length = 0;
        if (down && ic) {
            Status status = 0;
            length = Xutf8LookupString(ic, &event, text, sizeof text - 1, &keysym, &status);
            if (status != XLookupChars && status != XLookupBoth)
                length = 0;
        } else {
            length = XLookupString(&event, text, sizeof text - 1, &keysym, nullptr);
        }
        const char *name = XKeysymToString(keysym);
        say(std::string(down ? "down " : "up ") + (name ? name : "NoSymbol"));
        if (!down)
            return;
        if (keysym == XK_Return || keysym == XK_KP_Enter) {
            say("line " + current);
            lines.push_back(current);
            if (lines.size() > std::size_t((height - kTextTop) / kLineHeight - 1))
                lines.erase(lines.begin());
            current.clear();
        } else if (keysym == XK_BackSpace) {
            // One UTF-8 character back.
            while (!current.empty() && (current.back() & 0xc0) == 0x80)
                current.pop_back();
            if (!current.empty())
                current.pop_back();
        } else if (length > 0 && !(event.state & (ControlMask | Mod1Mask)) &&
                   static_cast<unsigned char>(text[0]) >= 0x20 && text[0] != 0x7f) {
            current.append(text, std::size_t(length));
        }
        redraw();
    }

    void serve(const XSelectionRequestEvent &request)
    {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        if (request.selection == clipboard && !ownedText.empty()) {
            const Atom where = request.property != None ? request.property : request.target;
            if (request.target == targets) {
                const Atom offered[] = {targets, utf8, XA_STRING};
                XChangeProperty(display, request.requestor, where, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(offered), 3);
                reply.property = where;
            } else if (request.target == utf8 || request.target == XA_STRING) {
                XChangeProperty(display, request.requestor, where, request.target, 8,
                                PropModeReplace,
                                reinterpret_cast<const unsigned char *>(ownedText.data()),
                                int(ownedText.size()));
                reply.property = where;
            }
        }
        XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent *>(&reply));
        XFlush(display);
    }

    void received(const XSelectionEvent &event)
    {
        if (event.property == None) {
            say("clipboard ");
            return;
        }
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char *data = nullptr;
        XGetWindowProperty(display, window, property, 0, 1 << 20, True, AnyPropertyType, &type,
                           &format, &count, &after, &data);
        std::string text;
        if (data && format == 8)
            text.assign(reinterpret_cast<char *>(data), count);
        if (data)
            XFree(data);
        say("clipboard " + escaped(text));
    }

    // The X server's built-in "fixed" font is Latin-1; what it lacks shows as '?'.
    static std::string latin1(const std::string &utf8)
    {
        std::string out;
        for (std::size_t i = 0; i < utf8.size();) {
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            if (c < 0x80) {
                out += char(c);
                ++i;
            } else if ((c & 0xe0) == 0xc0 && i + 1 < utf8.size() && c <= 0xc3) {
                out += char(((c & 0x1f) << 6) | (utf8[i + 1] & 0x3f));
                i += 2;
            } else {
                out += '?';
                for (++i; i < utf8.size() && (utf8[i] & 0xc0) == 0x80; ++i) {
                }
            }
        }
        return out;
    }

    void redraw()
    {
        XSetForeground(display, gc, WhitePixel(display, DefaultScreen(display)));
        XFillRectangle(display, window, gc, 0, 0, unsigned(width - kSquare - 40), unsigned(height));
        XSetForeground(display, gc, BlackPixel(display, DefaultScreen(display)));
        int y = kTextTop;
        auto draw = [&](const std::string &text) {
            const std::string shown = latin1(text);
            XDrawString(display, window, gc, kTextLeft, y, shown.data(), int(shown.size()));
            y += kLineHeight;
        };
        for (const std::string &line : lines)
            draw(line);
        draw(current + "_");
        drawSquare();
        XFlush(display);
    }

    // A smooth, many-coloured picture that moves a little every frame, as a video does.
    void drawSquare()
    {
        if (!image) {
            pixels.resize(std::size_t(kSquare) * kSquare);
            image = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)),
                                 unsigned(DefaultDepth(display, DefaultScreen(display))), ZPixmap,
                                 0, reinterpret_cast<char *>(pixels.data()), kSquare, kSquare, 32,
                                 0);
        }
        const double phase = frame * 0.15;
        for (int y = 0; y < kSquare; ++y) {
            for (int x = 0; x < kSquare; ++x) {
                const double u = x / 40.0, v = y / 33.0;
                const auto channel = [](double value) {
                    return unsigned((std::sin(value) * 0.5 + 0.5) * 255.0);
                };
                const unsigned r = channel(u + phase), g = channel(v - phase * 0.7),
                               b = channel((u + v) * 0.6 + phase * 0.4);
                pixels[std::size_t(y) * kSquare + x] = (r << 16) | (g << 8) | b;
            }
        }
        XPutImage(display, window, gc, image, 0, 0, width - kSquare - 20, 20, kSquare, kSquare);
    }

    Display *display;
    int width = 0;
    int height = 0;
    Window window = 0;
    GC gc = nullptr;
    XIM im = nullptr;
    XIC ic = nullptr;
    Atom clipboard = None, utf8 = None, targets = None, property = None;
    std::string ownedText;
    std::vector<std::string> lines;
    std::string current;
    bool animating = false;
    long frame = 0;
    std::vector<unsigned> pixels;
    XImage *image = nullptr;
};

} // namespace

int main()
{
    // UTF-8 whatever the environment says, so that "ñ" and "€" come out as the test expects.
    std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("");
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fputs("velmora-input-recorder: cannot open the display\n", stderr);
        return 1;
    }
    Recorder recorder(display);
    recorder.run();
    XCloseDisplay(display);
    return 0;
}
