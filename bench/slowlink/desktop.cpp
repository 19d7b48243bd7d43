// The helped person's desktop for the slow-link benchmark on an X display (DISPLAY names it): a
// full-screen window with what picture.h describes, driven as animation.h says. T of "frame N T" is
// CLOCK_REALTIME once the X server has the frame.

#include "animation.h"
#include "picture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace velmora::slowlink;

std::int64_t nowMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::int64_t monotonicMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class Desktop
{
public:
    explicit Desktop(const Options &options)
        : options(options), texture(makeTexture()), animation(options.fps)
    {}

    bool open()
    {
        display = XOpenDisplay(nullptr);
        if (!display) {
            std::fprintf(stderr, "cannot open display '%s'\n", std::getenv("DISPLAY"));
            return false;
        }
        const int screen = DefaultScreen(display);
        width = DisplayWidth(display, screen);
        height = DisplayHeight(display, screen);
        if (DefaultDepth(display, screen) != 24) {
            std::fprintf(stderr, "the display needs depth 24\n");
            return false;
        }
        if (!pictureFits(options, width, height)) {
            std::fprintf(stderr, "the picture does not fit on a %dx%d screen\n", width, height);
            return false;
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = kBackground;
        window = XCreateWindow(display, RootWindow(display, screen), 0, 0, unsigned(width),
                               unsigned(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &attributes);
        XSelectInput(display, window, ExposureMask);
        // No pointer over the desktop: Xvfb draws it into the screen that the VNC server reads,
        // but not into what XGetImage returns, and the two must be comparable.
        const char blank = 0;
        Pixmap empty = XCreateBitmapFromData(display, window, &blank, 1, 1);
        XColor black{};
        Cursor none = XCreatePixmapCursor(display, empty, empty, &black, &black, 0, 0);
        XDefineCursor(display, window, none);
        XFreePixmap(display, empty);
        gc = XCreateGC(display, window, 0, nullptr);
        XMapRaised(display, window);
        createImage(screen);
        paintStatic();
        paintFrame();
        XSync(display, False);
        return true;
    }

    int run()
    {
        say("ready %d %d", width, height);
        std::string line;
        for (;;) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == Expose && event.xexpose.count == 0) {
                    paintStatic();
                    putPicture();
                }
            }
            if (animation.advance(monotonicMicros()))
                paintFrame();
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
            if (poll(fds, 2, animation.waitMs(monotonicMicros())) < 0)
                continue;
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                char buffer[4096];
                const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
                if (got <= 0)
                    return 0;
                line.append(buffer, std::size_t(got));
                std::size_t end;
                while ((end = line.find('\n')) != std::string::npos) {
                    const Command command = parseCommand(line.substr(0, end));
                    line.erase(0, end + 1);
                    if (command.kind == Command::Quit)
                        return 0;
                    animation.perform(command, monotonicMicros(),
                                      [this](const std::string &file) { return dump(file); });
                }
            }
        }
    }

private:
    void createImage(int screen)
    {
        const unsigned w = unsigned(options.pictureWidth), h = unsigned(options.pictureHeight);
        Visual *visual = DefaultVisual(display, screen);
        if (XShmQueryExtension(display)) {
            image = XShmCreateImage(display, visual, 24, ZPixmap, nullptr, &shm, w, h);
            if (image) {
                shm.shmid =
                    shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * h, IPC_CREAT | 0600);
                shm.shmaddr = image->data = static_cast<char *>(shmat(shm.shmid, nullptr, 0));
                shm.readOnly = False;
                useShm = shm.shmaddr != reinterpret_cast<char *>(-1) && XShmAttach(display, &shm);
                XSync(display, False);
                // Removed now, freed when both sides have detached.
                shmctl(shm.shmid, IPC_RMID, nullptr);
                if (!useShm) {
                    XDestroyImage(image);
                    image = nullptr;
                }
            }
        }
        if (!image) {
            char *data = static_cast<char *>(std::malloc(std::size_t(w) * h * 4));
            image = XCreateImage(display, visual, 24, ZPixmap, 0, data, w, h, 32, 0);
        }
    }

    void paintStatic()
    {
        for (const Fill &f : staticPart(options, width, height)) {
            XSetForeground(display, gc, f.colour);
            XFillRectangle(display, window, gc, f.x, f.y, unsigned(f.width), unsigned(f.height));
        }
    }

    // The picture for the current frame, on the screen, and its time.
    void paintFrame()
    {
        // Depth 24 in 32-bit units (XShmCreateImage and XCreateImage above): 0x00RRGGBB.
        paintPicture(options, texture, animation.frame(),
                     reinterpret_cast<std::uint32_t *>(image->data),
                     std::size_t(image->bytes_per_line) / 4);
        putPicture();
        XSync(display, False);
        animation.painted(nowMicros());
    }

    void putPicture()
    {
        const unsigned w = unsigned(options.pictureWidth), h = unsigned(options.pictureHeight);
        if (useShm)
            XShmPutImage(display, window, gc, image, 0, 0, kPictureX, kPictureY, w, h, False);
        else
            XPutImage(display, window, gc, image, 0, 0, kPictureX, kPictureY, w, h);
    }

    bool dump(const std::string &file)
    {
        XSync(display, False);
        XImage *shot = XGetImage(display, DefaultRootWindow(display), 0, 0, unsigned(width),
                                 unsigned(height), AllPlanes, ZPixmap);
        if (!shot)
            return false;
        std::vector<std::uint32_t> pixels(std::size_t(width) * height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                pixels[std::size_t(y) * width + x] =
                    std::uint32_t(XGetPixel(shot, x, y)) & 0xffffff;
        }
        XDestroyImage(shot);
        return writeRgb(file, pixels.data(), std::size_t(width), width, height);
    }

    Options options;
    std::vector<std::uint32_t> texture;
    Animation animation;
    Display *display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    XImage *image = nullptr;
    XShmSegmentInfo shm{};
    bool useShm = false;
    int width = 0;
    int height = 0;
};

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    Desktop desktop(options);
    if (!desktop.open())
        return 1;
    return desktop.run();
}
