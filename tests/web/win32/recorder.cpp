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
//   owned                        answers "set-clipboard": the text is on the clipboard
//   clipboard TEXT               answers "get-clipboard": the clipboard's text, in UTF-8
//
// Commands on standard input, one per line, in UTF-8:
//   set-clipboard TEXT           puts TEXT on the Windows clipboard
//   get-clipboard                reports the clipboard's text

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
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

constexpr UINT kCommand = WM_APP + 1; // lParam: a std::string * the window deletes

std::wstring fromUtf8(const std::string &text)
{
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string toUtf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

// The VNC server watches the clipboard and may hold it open for a moment when it changes.
bool openClipboard(HWND window)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (OpenClipboard(window))
            return true;
        Sleep(10);
    }
    say("error OpenClipboard %lu", GetLastError());
    return false;
}

void setClipboard(HWND window, const std::wstring &text)
{
    if (!openClipboard(window))
        return;
    EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory) {
        std::memcpy(GlobalLock(memory), text.c_str(), bytes);
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory))
            GlobalFree(memory);
    }
    CloseClipboard();
    say("owned");
}

void reportClipboard(HWND window)
{
    if (!openClipboard(window))
        return;
    std::wstring text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto *chars = static_cast<const wchar_t *>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    say("clipboard %s", toUtf8(text).c_str());
}

void runCommand(HWND window, const std::string &line)
{
    static const std::string set = "set-clipboard ";
    if (line.compare(0, set.size(), set) == 0)
        setClipboard(window, fromUtf8(line.substr(set.size())));
    else if (line == "get-clipboard")
        reportClipboard(window);
    else
        say("error unknown command %s", line.c_str());
}

// Reads commands on a thread of its own (the window's thread waits for messages) and hands each
// to the window.
DWORD WINAPI readCommands(LPVOID window)
{
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        PostMessageW(static_cast<HWND>(window), kCommand, 0,
                     reinterpret_cast<LPARAM>(new std::string(line)));
    }
    return 0;
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
    case kCommand: {
        const auto *line = reinterpret_cast<std::string *>(lParam);
        runCommand(window, *line);
        delete line;
        return 0;
    }
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
    if (!CreateThread(nullptr, 0, readCommands, window, 0, nullptr))
        say("error CreateThread %lu", GetLastError());
    say("ready");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
