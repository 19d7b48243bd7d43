// Owner-only file the POSIX way: compiles on Linux, and MinGW even ships these names.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

int writeSecret()
{
    umask(077);
    const int fd = ::open("secret.dat", O_CREAT | O_WRONLY | O_TRUNC, 0600);
    chmod("secret.dat", 0600);
    return fd;
}
