#include "server/core/httpresponder.h"

#include "server/core/counters.h"
#include "server/core/metrics.h"
#include "server/core/staticfiles.h"
#include "server/core/text.h"

#include <exception>
#include <filesystem>
#include <tuple>

namespace velmora::server {

namespace {

HttpHandler metricsPage(const Counters &counters)
{
    return [&counters](const HttpRequest &request) -> std::optional<HttpResponse> {
        if (request.path != "/metrics")
            return std::nullopt;
        if (request.method != "GET" && request.method != "HEAD") {
            HttpResponse answer = plainAnswer(405, "Method not allowed");
            answer.headers.emplace_back("Allow", "GET, HEAD");
            return answer;
        }
        HttpResponse answer;
        answer.contentType = kMetricsContentType;
        answer.body = prometheusText(counters.snapshot());
        answer.headers.emplace_back("Cache-Control", "no-store");
        answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
        return answer;
    };
}

// For load balancers: the process answers HTTP on this listener. It says nothing about Redis, so
// that a Redis outage does not take every node out of rotation at once (each node keeps its
// agents and sessions then).
HttpHandler healthPage()
{
    return [](const HttpRequest &request) -> std::optional<HttpResponse> {
        if (request.path != "/health")
            return std::nullopt;
        if (request.method != "GET" && request.method != "HEAD") {
            HttpResponse answer = plainAnswer(405, "Method not allowed");
            answer.headers.emplace_back("Allow", "GET, HEAD");
            return answer;
        }
        HttpResponse answer = plainAnswer(200, "ok");
        answer.headers.emplace_back("Cache-Control", "no-cache");
        return answer;
    };
}

} // namespace

HttpResponder::HttpResponder(std::vector<HttpHandler> configured, const ServerOptions &options,
                             const Counters &counters, LogSink log)
    : handlers(std::move(configured)), webDir(options.webDir), novncDir(options.novncDir),
      log(std::move(log))
{
    handlers.push_back(metricsPage(counters));
    handlers.push_back(healthPage());
    if (!options.novncDir.empty())
        handlers.push_back(StaticFiles("/novnc/", options.novncDir));
    if (!options.webDir.empty())
        handlers.push_back(StaticFiles("/", options.webDir));
}

HttpResponse HttpResponder::answer(const HttpRequest &request) const
{
    for (const HttpHandler &handler : handlers) {
        try {
            if (auto response = handler(request))
                return *response;
        } catch (const std::exception &error) {
            log("HTTP handler failed for " + printable(request.target) + ": " + error.what());
            HttpResponse response;
            response.status = 500;
            response.body = "Internal server error\n";
            return response;
        }
    }
    return notFound();
}

void HttpResponder::reportFolders() const
{
    for (const auto &[what, folder, probe] :
         {std::tuple{"the supporter's page", webDir, "index.html"},
          std::tuple{"noVNC", novncDir, "core/rfb.js"}}) {
        if (folder.empty())
            continue;
        std::error_code missing;
        if (std::filesystem::exists(std::filesystem::path(folder) / probe, missing))
            log(std::string("serving ") + what + " from " + folder);
        else
            log(std::string("warning: not serving ") + what + ": " + folder + " has no " + probe);
    }
}

} // namespace velmora::server
