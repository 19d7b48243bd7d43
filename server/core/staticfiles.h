// Files under one folder, served read-only at one URL prefix: the supporter's page and noVNC.
// Every path is resolved to its canonical form and must stay inside the folder, so neither "..",
// encoded or not, nor a symbolic link leads anywhere else.
#pragma once

#include "server/core/httphandler.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

class StaticFiles
{
public:
    /// Serves `root` at `prefix`, which starts and ends with '/' ("/", "/novnc/"). `root` need
    /// not exist yet; while it does not, every file is missing.
    StaticFiles(std::string prefix, std::filesystem::path root);

    /// Answers requests under the prefix: GET and HEAD of regular files (a directory stands for
    /// its index.html), 405 for other methods, 400 for paths that do not decode, 404 for
    /// anything else, including every path that leaves the folder. Other paths: nothing.
    std::optional<HttpResponse> operator()(const HttpRequest &request) const;

    /// The segments of a URL path below the prefix, percent-decoded; nothing when a segment is
    /// "." or "..", starts with a dot, or holds a NUL, a backslash or a slash once decoded.
    /// Empty segments are skipped. `malformed` is set when an escape is not two hex digits.
    static std::optional<std::vector<std::string>> decodePath(std::string_view path,
                                                              bool &malformed);

    /// The Content-Type for a file name, by its extension (case-insensitive);
    /// "application/octet-stream" when unknown.
    static std::string contentType(const std::filesystem::path &file);

    /// The headers every file answer carries: nosniff, the content security policy, caching and
    /// referrer policy.
    static std::vector<std::pair<std::string, std::string>> securityHeaders();

    /// Files larger than this are not served (the page and noVNC are far smaller).
    static constexpr std::uintmax_t kMaxFileSize = 16 * 1024 * 1024;

    /// Bytes of files kept in memory (read once, shared by every answer until the file changes).
    static constexpr std::size_t kCacheBytes = 64 * 1024 * 1024;

private:
    /// The bytes of `file` as it is now (`size` and `modified` as just read from the disk).
    std::shared_ptr<const std::string> contents(const std::filesystem::path &file,
                                                std::uintmax_t size,
                                                std::filesystem::file_time_type modified) const;

    struct Cached
    {
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified;
        std::shared_ptr<const std::string> bytes;
    };

    std::string prefix;
    std::filesystem::path root;
    mutable std::map<std::filesystem::path, Cached> cache;
    mutable std::size_t cachedBytes = 0;
};

} // namespace velmora::server
