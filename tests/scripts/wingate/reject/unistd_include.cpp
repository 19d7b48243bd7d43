// A POSIX-only header that MinGW happens to provide.
#include <unistd.h>

int processId()
{
    return int(getpid());
}
