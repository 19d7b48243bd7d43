// The helped person's desktop for the slow-link benchmark: a full-screen X window with a static
// part (a title bar and a page of "text") and a picture that pans by a few pixels every frame, as
// a photo or a video does. Each frame carries its number in a barcode that survives JPEG, so the
// benchmark can read from a viewer's canvas which frame it shows.
//
//   velmora-slowlink-desktop [--fps N] [--picture WxH]       (DISPLAY names the X display)
//
// Commands on standard input, one per line:
//   run          paint a new frame every 1/fps s
//   stop         stop changing; answers "stopped N T" (the last frame, painted at T)
//   dump FILE    write the screen as raw RGB (width * height * 3 bytes); answers "dumped FILE"
//   quit
// Standard output: "ready WIDTH HEIGHT", then "frame N T" for every frame, T being the
// CLOCK_REALTIME microseconds at which the X server had it on the screen.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The barcode: one row of 16 cells with the frame number's bits, one with their complement, so
// that a reader can tell a whole code from a torn or smeared one. Cells are 16 px, aligned with
// JPEG's 8 and 16 px blocks.
constexpr int kCell = 16;
constexpr int kBits = 16;
constexpr int kCodeMargin = 16;

constexpr int kTexture = 1024; // the panned picture repeats every kTexture pixels both ways

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

// Periodic value noise in [0, 1): random values on a lattice of `step` pixels, smoothly
// interpolated, repeating every kTexture pixels.
class Lattice
{
public:
    Lattice(int step, std::mt19937 &random) : step(step), cells(kTexture / step)
    {
        std::uniform_real_distribution<float> value(0.f, 1.f);
        values.resize(std::size_t(cells) * cells);
        for (float &v : values)
            v = value(random);
    }

    float at(int x, int y) const
    {
        const int cx = x / step;
        const int cy = y / step;
        const float fx = smooth(float(x % step) / step);
        const float fy = smooth(float(y % step) / step);
        const float a = cell(cx, cy), b = cell(cx + 1, cy);
        const float c = cell(cx, cy + 1), d = cell(cx + 1, cy + 1);
        return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
    }

private:
    static float smooth(float t) { return t * t * (3 - 2 * t); }
    float cell(int x, int y) const
    {
        return values[std::size_t(y % cells) * cells + std::size_t(x % cells)];
    }

    int step;
    int cells;
    std::vector<float> values;
};

// A photo-like picture: colour from several octaves of noise, and a little grain.
std::vector<std::uint32_t> makeTexture()
{
    std::mt19937 random(20240607);
    std::vector<Lattice> red, green, blue;
    for (int step : {256, 64, 16, 4}) {
        red.emplace_back(step, random);
        green.emplace_back(step, random);
        blue.emplace_back(step, random);
    }
    const float weights[] = {0.55f, 0.25f, 0.14f, 0.06f};
    std::uniform_int_distribution<int> grain(-3, 3);
    std::vector<std::uint32_t> pixels(std::size_t(kTexture) * kTexture);
    auto channel = [&](const std::vector<Lattice> &octaves, int x, int y) {
        float sum = 0;
        for (std::size_t i = 0; i < octaves.size(); ++i)
            sum += weights[i] * octaves[i].at(x, y);
        const int v = int(std::lround(sum * 255.f)) + grain(random);
        return std::uint32_t(std::clamp(v, 0, 255));
    };
    for (int y = 0; y < kTexture; ++y) {
        for (int x = 0; x < kTexture; ++x) {
            const std::uint32_t r = channel(red, x, y);
            const std::uint32_t g = channel(green, x, y);
            const std::uint32_t b = channel(blue, x, y);
            pixels[std::size_t(y) * kTexture + x] = (r << 16) | (g << 8) | b;
        }
    }
    return pixels;
}

struct Options
{
    double fps = 60;
    int pictureWidth = 640;
    int pictureHeight = 480;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: velmora-slowlink-desktop [--fps N] [--picture WxH]\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *value = argv[++i];
        if (arg == "--fps") {
            options.fps = std::atof(value);
            if (!(options.fps > 0 && options.fps <= 240))
                usage();
        } else if (arg == "--picture") {
            if (std::sscanf(value, "%dx%d", &options.pictureWidth, &options.pictureHeight) != 2 ||
                options.pictureWidth < 2 * kCodeMargin + kBits * kCell ||
                options.pictureHeight < 2 * kCodeMargin + 2 * kCell)
                usage();
        } else {
            usage();
        }
    }
    return options;
}

class Desktop
{
public:
    Desktop(const Options &options) : options(options), texture(makeTexture()) {}

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
        pictureX = 24;
        pictureY = 56;
        if (pictureX + options.pictureWidth > width || pictureY + options.pictureHeight > height) {
            std::fprintf(stderr, "the picture does not fit on a %dx%d screen\n", width, height);
            return false;
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = 0xe8ebef;
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
        std::printf("ready %d %d\n", width, height);
        std::fflush(stdout);
        const std::int64_t interval = std::int64_t(1e6 / options.fps);
        std::int64_t next = monotonicMicros();
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
            int timeout = -1;
            if (changing) {
                const std::int64_t now = monotonicMicros();
                if (now >= next) {
                    ++frame;
                    paintFrame();
                    next += interval;
                    // After a stall, carry on from now rather than catching up in a burst.
                    if (next < now)
                        next = now + interval;
                }
                timeout = int((next - monotonicMicros() + 999) / 1000);
                if (timeout < 0)
                    timeout = 0;
            }
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
            if (poll(fds, 2, timeout) < 0)
                continue;
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                char buffer[4096];
                const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
                if (got <= 0)
                    return 0;
                line.append(buffer, std::size_t(got));
                std::size_t end;
                while ((end = line.find('\n')) != std::string::npos) {
                    const std::string command = line.substr(0, end);
                    line.erase(0, end + 1);
                    if (command == "quit")
                        return 0;
                    handle(command, next);
                }
            }
        }
    }

private:
    void handle(const std::string &command, std::int64_t &next)
    {
        if (command == "run") {
            changing = true;
            next = monotonicMicros();
        } else if (command == "stop") {
            changing = false;
            std::printf("stopped %d %lld\n", frame, static_cast<long long>(lastPainted));
        } else if (command.rfind("dump ", 0) == 0) {
            const std::string file = command.substr(5);
            std::printf(dump(file) ? "dumped %s\n" : "dump failed %s\n", file.c_str());
        } else {
            std::fprintf(stderr, "unknown command '%s'\n", command.c_str());
        }
        std::fflush(stdout);
    }

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
        XSetForeground(display, gc, 0xe8ebef);
        XFillRectangle(display, window, gc, 0, 0, unsigned(width), unsigned(height));
        XSetForeground(display, gc, 0x2d5a2d);
        XFillRectangle(display, window, gc, 0, 0, unsigned(width), 32);
        XSetForeground(display, gc, 0xffffff);
        XFillRectangle(display, window, gc, 12, 11, 120, 10);
        // A page of text beside the picture: words as dark bars of varied length.
        const int left = pictureX + options.pictureWidth + 24;
        if (left + 80 < width) {
            XSetForeground(display, gc, 0xffffff);
            XFillRectangle(display, window, gc, left, pictureY, unsigned(width - left - 24),
                           unsigned(height - pictureY - 24));
            std::mt19937 random(7);
            std::uniform_int_distribution<int> word(12, 64);
            XSetForeground(display, gc, 0x303030);
            for (int y = pictureY + 12; y + 10 < height - 36; y += 18) {
                for (int x = left + 10;;) {
                    const int w = word(random);
                    if (x + w > width - 36)
                        break;
                    XFillRectangle(display, window, gc, x, y, unsigned(w), 9);
                    x += w + 7;
                }
            }
        }
    }

    // The picture for the current frame, panned across the texture, with the frame's barcode.
    void paintFrame()
    {
        const int w = options.pictureWidth, h = options.pictureHeight;
        const int ox = (frame * 3) % kTexture;
        const int oy = (frame * 2) % kTexture;
        for (int y = 0; y < h; ++y) {
            auto *row = reinterpret_cast<std::uint32_t *>(image->data + y * image->bytes_per_line);
            const std::uint32_t *source = &texture[std::size_t((y + oy) % kTexture) * kTexture];
            for (int x = 0; x < w;) {
                const int sx = (x + ox) % kTexture;
                const int run = std::min(w - x, kTexture - sx);
                std::memcpy(row + x, source + sx, std::size_t(run) * 4);
                x += run;
            }
        }
        const unsigned number = unsigned(frame) & 0xffff;
        for (int row = 0; row < 2; ++row) {
            for (int bit = 0; bit < kBits; ++bit) {
                const bool set = ((row ? ~number : number) >> (kBits - 1 - bit)) & 1;
                const std::uint32_t colour = set ? 0xffffff : 0x000000;
                for (int y = 0; y < kCell; ++y) {
                    auto *line = reinterpret_cast<std::uint32_t *>(
                        image->data + (kCodeMargin + row * kCell + y) * image->bytes_per_line);
                    std::fill(line + kCodeMargin + bit * kCell,
                              line + kCodeMargin + (bit + 1) * kCell, colour);
                }
            }
        }
        putPicture();
        XSync(display, False);
        lastPainted = nowMicros();
        std::printf("frame %d %lld\n", frame, static_cast<long long>(lastPainted));
        std::fflush(stdout);
    }

    void putPicture()
    {
        const unsigned w = unsigned(options.pictureWidth), h = unsigned(options.pictureHeight);
        if (useShm)
            XShmPutImage(display, window, gc, image, 0, 0, pictureX, pictureY, w, h, False);
        else
            XPutImage(display, window, gc, image, 0, 0, pictureX, pictureY, w, h);
    }

    bool dump(const std::string &file)
    {
        XSync(display, False);
        XImage *shot = XGetImage(display, DefaultRootWindow(display), 0, 0, unsigned(width),
                                 unsigned(height), AllPlanes, ZPixmap);
        if (!shot)
            return false;
        std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
        std::size_t at = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const unsigned long pixel = XGetPixel(shot, x, y);
                rgb[at++] = (pixel >> 16) & 0xff;
                rgb[at++] = (pixel >> 8) & 0xff;
                rgb[at++] = pixel & 0xff;
            }
        }
        XDestroyImage(shot);
        FILE *out = std::fopen(file.c_str(), "wb");
        if (!out)
            return false;
        const bool written = std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
        return std::fclose(out) == 0 && written;
    }

    Options options;
    std::vector<std::uint32_t> texture;
    Display *display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    XImage *image = nullptr;
    XShmSegmentInfo shm{};
    bool useShm = false;
    int width = 0;
    int height = 0;
    int pictureX = 0;
    int pictureY = 0;
    int frame = 0;
    bool changing = false;
    std::int64_t lastPainted = 0;
};

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    Desktop desktop(options);
    if (!desktop.open())
        return 1;
    return desktop.run();
}
