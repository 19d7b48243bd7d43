// A window on the helped person's Windows desktop that records what reaches it, for the chain
// test under Wine: a plain colour with a known text, always on top, so that the supporter sees
// it and its clicks land on it. It shows the characters typed so far.
//
//   recorder.exe
//
// Standard output, one event per line, flushed at once:
//   ready                        the window is shown
//   place X Y WIDTH HEIGHT       where the client area is on the screen, whenever it moves
//   focus                        the window got the keyboard
//   char CODE                    a character typed (a UTF-16 unit, in decimal)
//   click X Y                    the left button pressed at X, Y of the window's client area

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

constexpr COLORREF kBackground = RGB(0x33, 0x66, 0xcc);
constexpr wchar_t kClassName[] = L"VelmoraRecorder";
constexpr wchar_t kTitle[] = L"Velmora recorder";
constexpr wchar_t kKnownText[] = L"Velmora";

std::wstring typed;

void say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void paint(HWND window)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH brush = CreateSolidBrush(kBackground);
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xff, 0xff, 0xff));
    TextOutW(dc, 20, 20, kKnownText, static_cast<int>(wcslen(kKnownText)));
    TextOutW(dc, 20, 60, typed.c_str(), static_cast<int>(typed.size()));
    EndPaint(window, &ps);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_WINDOWPOSCHANGED: {
        RECT client;
        GetClientRect(window, &client);
        POINT origin = {0, 0};
        ClientToScreen(window, &origin);
        say("place %ld %ld %ld %ld", origin.x, origin.y, client.right, client.bottom);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    case WM_SETFOCUS:
        say("focus");
        return 0;
    case WM_CHAR:
        say("char %u", static_cast<unsigned>(wParam));
        if (wParam >= 0x20) {
            typed += static_cast<wchar_t>(wParam);
            InvalidateRect(window, nullptr, FALSE);
        }
        return 0;
    case WM_LBUTTONDOWN:
        say("click %d %d", static_cast<int>(static_cast<short>(LOWORD(lParam))),
            static_cast<int>(static_cast<short>(HIWORD(lParam))));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int main()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassW(&windowClass)) {
        say("error RegisterClass %lu", GetLastError());
        return 1;
    }
    HWND window = CreateWindowExW(WS_EX_TOPMOST, kClassName, kTitle, WS_OVERLAPPEDWINDOW, 0, 0, 700,
                                  500, nullptr, nullptr, instance, nullptr);
    if (!window) {
        say("error CreateWindow %lu", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetForegroundWindow(window);
    say("ready");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
