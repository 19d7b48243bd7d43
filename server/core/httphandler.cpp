#include "server/core/httphandler.h"

namespace velmora::server {

HttpResponse notFound()
{
    return plainAnswer(404, "Not found");
}

HttpResponse plainAnswer(unsigned status, std::string text)
{
    HttpResponse response;
    response.status = status;
    response.body = std::move(text) + "\n";
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

} // namespace velmora::server
