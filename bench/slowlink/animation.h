#pragma once

// The slow-link benchmark's desktop as its caller drives it, the same for the X11 program
// (desktop.cpp) and the Windows one (win32/desktop.cpp):
//
//   velmora-slowlink-desktop [--fps N] [--picture WxH]
//
// Commands on standard input, one per line:
//   run          paint a new frame every 1/fps s
//   stop         stop changing; answers "stopped N T" (the last frame, painted at T)
//   dump FILE    write the screen as raw RGB (width * height * 3 bytes); answers "dumped FILE"
//   quit
// Standard output: "ready WIDTH HEIGHT", then "frame N T" for every frame, T being the Unix
// real-time clock's microseconds at which the screen had it.

#include <cstdint>
#include <functional>
#include <string>

namespace velmora::slowlink {

struct Command
{
    enum Kind { Run, Stop, Dump, Quit, Unknown };
    Kind kind;
    std::string file; // of Dump; the line itself when Unknown
};

// One line of standard input, without its end of line.
Command parseCommand(const std::string &line);

// One line on standard output, flushed at once: the benchmark reads it as it comes.
void say(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Which frame the desktop shows and when the next one is due. Times passed in are a monotonic
// clock's microseconds; the times of frames on the screen are the real-time clock's.
class Animation
{
public:
    explicit Animation(double fps);

    // Carries out a command other than quit: run and stop here, dump through `dump` (which
    // writes the screen to the file it is given). Answers on standard output.
    void perform(const Command &command, std::int64_t now,
                 const std::function<bool(const std::string &)> &dump);

    // Whether a new frame is due at `now`; when it is, the frame number has moved on and the next
    // one is scheduled.
    bool advance(std::int64_t now);

    // Milliseconds until the next frame is due, -1 while the desktop does not change.
    int waitMs(std::int64_t now) const;

    // The current frame is on the screen since `realTime`; says so.
    void painted(std::int64_t realTime);

    int frame() const { return current; }

private:
    std::int64_t interval;
    std::int64_t next = 0;
    int current = 0;
    bool changing = false;
    std::int64_t lastPainted = 0;
};

} // namespace velmora::slowlink
