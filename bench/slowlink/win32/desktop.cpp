// The helped person's desktop for the slow-link benchmark as a Windows program, so that the
// Windows agent under Wine shows what a Windows program draws: a borderless window over the whole
// screen with what ../picture.h describes, driven as ../animation.h says. Each frame is painted as
// a Windows program paints, in WM_PAINT after invalidating what changed. T of "frame N T" is the
// system time once the frame has been handed to the screen, in Unix microseconds (under Wine,
// Linux's CLOCK_REALTIME, which the benchmark compares with the browser's clock; Wine passes the
// window's pixels on to the X server when the thread next waits for messages, right after).
//
// A console program (no WIN32_EXECUTABLE) so that standard input and output are the caller's.

#include "animation.h"
#include "picture.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace velmora::slowlink;

constexpr wchar_t kClassName[] = L"VelmoraSlowlinkDesktop";
constexpr wchar_t kTitle[] = L"Velmora slow-link desktop";
// A line of standard input for the window's thread; lParam is a std::string that it deletes.
constexpr UINT kCommandMessage = WM_APP + 1;
// Standard input has ended.
constexpr UINT kEndMessage = WM_APP + 2;

std::int64_t nowMicros()
{
    FILETIME time;
    GetSystemTimePreciseAsFileTime(&time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    // 100 ns units since 1601-01-01 to microseconds since 1970-01-01.
    return std::int64_t(ticks.QuadPart / 10) - 11644473600000000LL;
}

std::int64_t monotonicMicros()
{
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return std::int64_t(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return std::int64_t(counter.QuadPart) / frequency * 1000000 +
           std::int64_t(counter.QuadPart) % frequency * 1000000 / frequency;
}

// A top-down 32-bit DIB header for `rows` rows of `width` pixels.
BITMAPINFO dibInfo(int width, int rows)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -rows;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// Sends the lines of standard input to the window's thread, then its end.
void readCommands(HWND window)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            auto *line = new std::string(pending, 0, end);
            pending.erase(0, end + 1);
            if (!PostMessageW(window, kCommandMessage, 0, reinterpret_cast<LPARAM>(line))) {
                delete line;
                return;
            }
        }
    }
    PostMessageW(window, kEndMessage, 0, 0);
}

class Desktop
{
public:
    explicit Desktop(const Options &options)
        : options(options), texture(makeTexture()), animation(options.fps)
    {}

    bool open()
    {
        width = GetSystemMetrics(SM_CXSCREEN);
        height = GetSystemMetrics(SM_CYSCREEN);
        if (!pictureFits(options, width, height)) {
            std::fprintf(stderr, "the picture does not fit on a %dx%d screen\n", width, height);
            return false;
        }
        // What the window shows, kept whole so that any part can be painted again.
        screen.resize(std::size_t(width) * height);
        for (const Fill &f : staticPart(options, width, height))
            fill(screen.data(), std::size_t(width), f);

        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        // No pointer over the desktop: it is not part of what a dump reads back.
        windowClass.hCursor = nullptr;
        windowClass.lpszClassName = kClassName;
        if (!RegisterClassW(&windowClass)) {
            std::fprintf(stderr, "RegisterClass failed: %lu\n", GetLastError());
            return false;
        }
        window = CreateWindowExW(WS_EX_TOPMOST, kClassName, kTitle, WS_POPUP, 0, 0, width, height,
                                 nullptr, nullptr, instance, this);
        if (!window) {
            std::fprintf(stderr, "CreateWindow failed: %lu\n", GetLastError());
            return false;
        }
        ShowWindow(window, SW_SHOWNORMAL);
        paintFrame();
        return true;
    }

    int run()
    {
        say("ready %d %d", width, height);
        std::thread(readCommands, window).detach();
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT)
                    return int(message.wParam);
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (animation.advance(monotonicMicros()))
                paintFrame();
            const int wait = animation.waitMs(monotonicMicros());
            MsgWaitForMultipleObjectsEx(0, nullptr, wait < 0 ? INFINITE : DWORD(wait), QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);
        }
    }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto *self = reinterpret_cast<Desktop *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
        case WM_PAINT:
            self->on_paint();
            return 0;
        case WM_ERASEBKGND:
            return 1; // WM_PAINT paints everything
        case WM_SETCURSOR:
            SetCursor(nullptr);
            return TRUE;
        case kCommandMessage: {
            const std::unique_ptr<std::string> line(reinterpret_cast<std::string *>(lParam));
            const Command command = parseCommand(*line);
            if (command.kind == Command::Quit)
                DestroyWindow(window);
            else
                self->animation.perform(
                    command, monotonicMicros(),
                    [self](const std::string &file) { return self->dump(file); });
            return 0;
        }
        case kEndMessage:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    void on_paint()
    {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        const RECT &r = ps.rcPaint;
        if (r.right > r.left && r.bottom > r.top) {
            // The rows of the painted part as a DIB of their own: no doubt about where a
            // partial source rectangle of a top-down DIB starts.
            const int rows = r.bottom - r.top;
            const BITMAPINFO info = dibInfo(width, rows);
            SetDIBitsToDevice(dc, r.left, r.top, DWORD(r.right - r.left), DWORD(rows), r.left, 0, 0,
                              UINT(rows), &screen[std::size_t(r.top) * width], &info,
                              DIB_RGB_COLORS);
        }
        EndPaint(window, &ps);
    }

    // The picture for the current frame, on the screen, and its time.
    void paintFrame()
    {
        paintPicture(options, texture, animation.frame(),
                     &screen[std::size_t(kPictureY) * width + kPictureX], std::size_t(width));
        const RECT picture = {kPictureX, kPictureY, kPictureX + options.pictureWidth,
                              kPictureY + options.pictureHeight};
        InvalidateRect(window, &picture, FALSE);
        UpdateWindow(window);
        GdiFlush();
        animation.painted(nowMicros());
    }

    // What is on the screen, read back from it as a VNC server reads it.
    bool dump(const std::string &file)
    {
        GdiFlush();
        const BITMAPINFO info = dibInfo(width, height);
        void *bits = nullptr;
        HBITMAP shot = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!shot)
            return false;
        HDC screenDc = GetDC(nullptr);
        HDC memoryDc = CreateCompatibleDC(screenDc);
        HGDIOBJ previous = SelectObject(memoryDc, shot);
        const bool copied = BitBlt(memoryDc, 0, 0, width, height, screenDc, 0, 0, SRCCOPY);
        GdiFlush();
        SelectObject(memoryDc, previous);
        DeleteDC(memoryDc);
        ReleaseDC(nullptr, screenDc);
        const bool written = copied && writeRgb(file, static_cast<const std::uint32_t *>(bits),
                                                std::size_t(width), width, height);
        DeleteObject(shot);
        return written;
    }

    Options options;
    std::vector<std::uint32_t> texture;
    Animation animation;
    std::vector<std::uint32_t> screen;
    HWND window = nullptr;
    int width = 0;
    int height = 0;
};

} // namespace

int main(int argc, char **argv)
{
    // Lines end in LF alone, as the X11 program's do and as the benchmark reads them.
    _setmode(_fileno(stdout), _O_BINARY);
    const Options options = parseOptions(argc, argv);
    Desktop desktop(options);
    if (!desktop.open())
        return 1;
    return desktop.run();
}
