#include "server/core/secretfile.h"

#include "server/core/text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velmora::server {

namespace {

constexpr std::size_t kSecretBytes = 32;
// A valid file is 64 digits and perhaps a line break; anything much longer is not ours.
constexpr std::size_t kMaxFileSize = 256;

std::string systemError(const std::string &what, const std::string &path, int error)
{
    return what + " " + path + ": " + std::strerror(error);
}

SecretFile readSecret(const std::string &path, int fd)
{
    SecretFile result;
    std::string text;
    char chunk[kMaxFileSize + 1];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result.error = systemError("cannot read secret file", path, errno);
            return result;
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileSize)
            break;
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    bool wellFormed = text.size() == 2 * kSecretBytes;
    std::string secret;
    for (std::size_t i = 0; wellFormed && i < kSecretBytes; ++i) {
        const int high = hexDigitValue(text[2 * i]);
        const int low = hexDigitValue(text[2 * i + 1]);
        wellFormed = high >= 0 && low >= 0;
        if (wellFormed)
            secret.push_back(static_cast<char>(high << 4 | low));
    }
    if (!wellFormed) {
        result.error = "secret file " + path +
                       " is malformed (expected one line of 64 hexadecimal digits); remove it to "
                       "have a new secret made, which makes every issued session token invalid";
        return result;
    }
    struct stat info;
    if (::fstat(fd, &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        result.warning = "secret file " + path +
                         " is accessible to other users; restrict it with: chmod 600 " + path;
    }
    result.ok = true;
    result.secret = std::move(secret);
    return result;
}

SecretFile readExisting(const std::string &path)
{
    // Non-blocking, so that opening a FIFO or a device cannot hang the start-up; only a regular
    // file is read at all.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SecretFile result;
        result.error = systemError("cannot read secret file", path, errno);
        return result;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        SecretFile result;
        result.error = "cannot read secret file " + path + ": not a regular file";
        return result;
    }
    SecretFile result = readSecret(path, fd);
    ::close(fd);
    return result;
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

SecretFile loadOrCreateSecret(const std::string &path, const RandomSource &random)
{
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 || errno != ENOENT)
        return readExisting(path);

    unsigned char bytes[kSecretBytes];
    random(bytes, sizeof bytes);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    text.push_back('\n');

    // mkstemp creates the temporary file exclusively with mode 0600.
    std::vector<char> temporary(path.begin(), path.end());
    const std::string suffix = ".tmp.XXXXXX";
    temporary.insert(temporary.end(), suffix.begin(), suffix.end());
    temporary.push_back('\0');
    const int fd = ::mkstemp(temporary.data());
    SecretFile result;
    if (fd < 0) {
        result.error = systemError("cannot create secret file", path, errno);
        return result;
    }
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.data());
        result.error = systemError("cannot write secret file", path, writeError);
        return result;
    }
    const int linked = ::link(temporary.data(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.data());
    if (linked != 0) {
        // Another process made it first: theirs is the secret.
        if (linkError == EEXIST)
            return readExisting(path);
        result.error = systemError("cannot create secret file", path, linkError);
        return result;
    }
    result.ok = true;
    result.created = true;
    result.secret.assign(reinterpret_cast<const char *>(bytes), sizeof bytes);
    return result;
}

} // namespace velmora::server
