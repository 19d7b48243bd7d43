// The Windows build's stand-in for an outside program in the tests of the code that launches one
// (the Linux build uses small shell scripts instead). Copied under the program's name into a
// folder of its own, it records each run twice beside itself, as the scripts of both suites do:
//   - a line "pid TAB working directory TAB argument TAB ..." appended to "runs.tsv";
//   - the arguments joined by spaces, in NAME.args, written whole.
// It then writes "out 1", "err 1", "out 2", "err 2" as lines, alternating between standard output
// and standard error, and ends as the file "ending" beside it says: "exit:N" exits with N,
// "selfkill" terminates the process as a crash would, anything else waits until standard input
// closes (the launcher's process object keeps it open until it ends the program).
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

bool writeAll(HANDLE handle, const std::string &bytes)
{
    DWORD written = 0;
    return WriteFile(handle, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// One write with FILE_APPEND_DATA: runs that overlap never interleave their lines.
void appendTo(const std::wstring &path, const std::string &line)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    writeAll(file, line);
    CloseHandle(file);
}

// Whole or not at all: a reader polling for the file never sees half of it.
void replaceWith(const std::wstring &path, const std::string &content)
{
    const std::wstring part = path + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const bool written = writeAll(file, content);
    CloseHandle(file);
    if (written)
        MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string readSmallFile(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    char buffer[64];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

} // namespace

int main()
{
    wchar_t modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    const std::wstring self(modulePath, length);
    const std::size_t slash = self.find_last_of(L"\\/");
    const std::wstring folder = self.substr(0, slash + 1);
    const std::wstring name = self.substr(slash + 1);

    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);

    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string record =
        std::to_string(GetCurrentProcessId()) + '\t' + utf8(std::wstring(cwd, cwdLength));
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        record += '\t' + utf8(argv[i]);
        joined += (i > 1 ? " " : "") + utf8(argv[i]);
    }
    LocalFree(argv);
    appendTo(folder + L"runs.tsv", record + '\n');
    replaceWith(folder + name + L".args", joined + '\n');

    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    writeAll(out, "out 1\n");
    writeAll(err, "err 1\n");
    writeAll(out, "out 2\n");
    writeAll(err, "err 2\n");

    const std::string ending = readSmallFile(folder + L"ending");
    if (ending.rfind("exit:", 0) == 0)
        return std::stoi(ending.substr(5));
    if (ending == "selfkill") {
        // An exit code in the range of exceptions is what QProcess takes for a crash.
        TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    }
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
           read > 0) {
    }
    return 0;
}
