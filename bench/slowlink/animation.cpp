#include "animation.h"

#include <cstdarg>
#include <cstdio>

namespace velmora::slowlink {

Command parseCommand(const std::string &line)
{
    std::string command = line;
    // A Windows pipe may end lines with CR LF.
    if (!command.empty() && command.back() == '\r')
        command.pop_back();
    if (command == "run")
        return {Command::Run, {}};
    if (command == "stop")
        return {Command::Stop, {}};
    if (command == "quit")
        return {Command::Quit, {}};
    if (command.rfind("dump ", 0) == 0)
        return {Command::Dump, command.substr(5)};
    return {Command::Unknown, command};
}

void say(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Animation::Animation(double fps) : interval(std::int64_t(1e6 / fps)) {}

void Animation::perform(const Command &command, std::int64_t now,
                        const std::function<bool(const std::string &)> &dump)
{
    switch (command.kind) {
    case Command::Run:
        changing = true;
        next = now;
        break;
    case Command::Stop:
        changing = false;
        say("stopped %d %lld", current, static_cast<long long>(lastPainted));
        break;
    case Command::Dump:
        say(dump(command.file) ? "dumped %s" : "dump failed %s", command.file.c_str());
        break;
    case Command::Quit:
        break;
    case Command::Unknown:
        std::fprintf(stderr, "unknown command '%s'\n", command.file.c_str());
        break;
    }
}

bool Animation::advance(std::int64_t now)
{
    if (!changing || now < next)
        return false;
    ++current;
    next += interval;
    // After a stall, carry on from now rather than catching up in a burst.
    if (next < now)
        next = now + interval;
    return true;
}

int Animation::waitMs(std::int64_t now) const
{
    if (!changing)
        return -1;
    return next <= now ? 0 : int((next - now + 999) / 1000);
}

void Animation::painted(std::int64_t realTime)
{
    lastPainted = realTime;
    say("frame %d %lld", current, static_cast<long long>(realTime));
}

} // namespace velmora::slowlink
