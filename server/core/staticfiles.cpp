#include "server/core/staticfiles.h"

#include "server/core/text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

namespace velmora::server {

namespace fs = std::filesystem;

namespace {

// True when `inner` is `outer` or lies below it; both canonical.
bool inside(const fs::path &inner, const fs::path &outer)
{
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

std::string etagOf(std::uintmax_t size, fs::file_time_type modified)
{
    const auto ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    char text[64];
    std::snprintf(text, sizeof text, "\"%jx-%llx\"", size, static_cast<unsigned long long>(ticks));
    return text;
}

bool matchesEtag(const std::string &header, const std::string &etag)
{
    if (header.empty())
        return false;
    if (header.find('*') != std::string::npos)
        return true;
    std::size_t at = 0;
    while ((at = header.find(etag, at)) != std::string::npos) {
        // A weak comparison is enough for a conditional GET.
        const std::size_t end = at + etag.size();
        if (end == header.size() || header[end] == ',' || header[end] == ' ')
            return true;
        at = end;
    }
    return false;
}

} // namespace

StaticFiles::StaticFiles(std::string prefix, std::filesystem::path root)
    : prefix(std::move(prefix)), root(std::move(root))
{}

std::optional<std::vector<std::string>> StaticFiles::decodePath(std::string_view path,
                                                                bool &malformed)
{
    malformed = false;
    std::vector<std::string> segments;
    std::string segment;
    const auto finish = [&]() -> bool {
        if (segment.empty())
            return true;
        if (segment.front() == '.' || segment.find('\0') != std::string::npos ||
            segment.find('\\') != std::string::npos || segment.find('/') != std::string::npos)
            return false;
        segments.push_back(std::move(segment));
        segment.clear();
        return true;
    };
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '/') {
            if (!finish())
                return std::nullopt;
            continue;
        }
        if (c == '%') {
            const bool complete = i + 2 < path.size();
            const int high = complete ? hexDigitValue(path[i + 1]) : -1;
            const int low = complete ? hexDigitValue(path[i + 2]) : -1;
            if (high < 0 || low < 0) {
                malformed = true;
                return std::nullopt;
            }
            segment.push_back(char(high * 16 + low));
            i += 2;
            continue;
        }
        segment.push_back(c);
    }
    if (!finish())
        return std::nullopt;
    return segments;
}

std::string StaticFiles::contentType(const fs::path &file)
{
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    static const std::pair<const char *, const char *> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        // ES modules load only with a JavaScript type.
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".webp", "image/webp"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".woff", "font/woff"},
        {".woff2", "font/woff2"},
        {".ttf", "font/ttf"},
        {".wasm", "application/wasm"},
        {".oga", "audio/ogg"},
        {".mp3", "audio/mpeg"},
    };
    for (const auto &[suffix, type] : types) {
        if (extension == suffix)
            return type;
    }
    return "application/octet-stream";
}

std::vector<std::pair<std::string, std::string>> StaticFiles::securityHeaders()
{
    return {
        {"X-Content-Type-Options", "nosniff"},
        // The page's own scripts and styles, images it draws (noVNC's cursor is a data: URL),
        // and WebSockets to this server ('self' covers ws: and wss: to the same host and port).
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
         "font-src 'self'; media-src 'self'; connect-src 'self'; manifest-src 'self'; "
         "base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
        // Revalidate every time: a new server version must not meet an old page in a cache.
        {"Cache-Control", "no-cache"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
    };
}

std::optional<HttpResponse> StaticFiles::operator()(const HttpRequest &request) const
{
    const std::string &path = request.path;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse answer = plainAnswer(405, "Method not allowed");
        answer.headers.emplace_back("Allow", "GET, HEAD");
        return answer;
    }
    bool malformed = false;
    const auto segments = decodePath(std::string_view(path).substr(prefix.size()), malformed);
    if (!segments)
        return malformed ? plainAnswer(400, "Bad request") : notFound();

    std::error_code ec;
    const fs::path base = fs::canonical(root, ec);
    if (ec)
        return notFound();
    fs::path wanted = base;
    for (const std::string &segment : *segments)
        wanted /= segment;
    fs::path file = fs::canonical(wanted, ec);
    if (ec || !inside(file, base))
        return notFound();
    if (fs::is_directory(file, ec)) {
        file = fs::canonical(file / "index.html", ec);
        if (ec || !inside(file, base))
            return notFound();
    }
    const fs::file_status status = fs::status(file, ec);
    if (ec || !fs::is_regular_file(status))
        return notFound();
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size > kMaxFileSize)
        return notFound();
    const fs::file_time_type modified = fs::last_write_time(file, ec);
    if (ec)
        return notFound();

    HttpResponse answer;
    answer.contentType = contentType(file);
    answer.headers = securityHeaders();
    const std::string etag = etagOf(size, modified);
    answer.headers.emplace_back("ETag", etag);
    if (matchesEtag(request.ifNoneMatch, etag)) {
        answer.status = 304;
        return answer;
    }
    answer.sharedBody = contents(file, size, modified);
    if (!answer.sharedBody)
        return notFound();
    return answer;
}

std::shared_ptr<const std::string> StaticFiles::contents(const fs::path &file, std::uintmax_t size,
                                                         fs::file_time_type modified) const
{
    const auto hit = cache.find(file);
    if (hit != cache.end() && hit->second.size == size && hit->second.modified == modified)
        return hit->second.bytes;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return nullptr;
    auto bytes = std::make_shared<std::string>(std::istreambuf_iterator<char>(in),
                                               std::istreambuf_iterator<char>());
    if (in.bad())
        return nullptr;
    if (hit != cache.end()) {
        cachedBytes -= hit->second.bytes->size();
        cache.erase(hit);
    }
    // The page and noVNC take a few megabytes; a folder that holds more is served from the
    // disk, its cache started over.
    if (cachedBytes + bytes->size() > kCacheBytes) {
        cache.clear();
        cachedBytes = 0;
    }
    if (bytes->size() <= kCacheBytes) {
        cache[file] = Cached{size, modified, bytes};
        cachedBytes += bytes->size();
    }
    return bytes;
}

} // namespace velmora::server
