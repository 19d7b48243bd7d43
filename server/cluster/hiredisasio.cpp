#include "server/cluster/hiredisasio.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

namespace velmora::server {

namespace {

RedisReply convert(const redisReply &from)
{
    RedisReply to;
    switch (from.type) {
    case REDIS_REPLY_STRING:
        to.type = RedisReply::Type::String;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_STATUS:
        to.type = RedisReply::Type::Status;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_ERROR:
        to.type = RedisReply::Type::Error;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_INTEGER:
        to.type = RedisReply::Type::Integer;
        to.integer = from.integer;
        break;
    case REDIS_REPLY_ARRAY:
        to.type = RedisReply::Type::Array;
        to.elements.reserve(from.elements);
        for (std::size_t i = 0; i < from.elements; ++i)
            to.elements.push_back(convert(*from.element[i]));
        break;
    default:
        to.type = RedisReply::Type::Nil;
        break;
    }
    return to;
}

} // namespace

HiredisAsio::HiredisAsio(redisAsyncContext *context, net::io_context &io, Owner &owner)
    : context(context), owner(&owner), descriptor(std::in_place, io)
{}

std::shared_ptr<HiredisAsio> HiredisAsio::connect(net::io_context &io, Owner &owner,
                                                  const std::string &address, std::uint16_t port,
                                                  const std::string &unixPath, std::string &error)
{
    redisAsyncContext *context = unixPath.empty() ? redisAsyncConnect(address.c_str(), port)
                                                  : redisAsyncConnectUnix(unixPath.c_str());
    return attach(context, io, owner, error);
}

std::shared_ptr<HiredisAsio> HiredisAsio::attach(redisAsyncContext *context, net::io_context &io,
                                                 Owner &owner, std::string &error)
{
    if (context == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    if (context->err != 0) {
        error = context->errstr;
        redisAsyncFree(context);
        return nullptr;
    }
    auto link = std::make_shared<HiredisAsio>(context, io, owner);
    beast::error_code ec;
    link->descriptor->assign(context->c.fd, ec);
    if (ec) {
        link->descriptor.reset();
        error = ec.message();
        redisAsyncFree(context);
        return nullptr;
    }
    context->data = link.get();
    // hiredis's hooks hold the object until its cleanup hook.
    context->ev.data = new std::shared_ptr<HiredisAsio>(link);
    context->ev.addRead = &HiredisAsio::addRead;
    context->ev.delRead = &HiredisAsio::delRead;
    context->ev.addWrite = &HiredisAsio::addWrite;
    context->ev.delWrite = &HiredisAsio::delWrite;
    context->ev.cleanup = &HiredisAsio::cleanup;
    // Waits for the socket to become writable: the end of the non-blocking connect.
    redisAsyncSetConnectCallback(context, &HiredisAsio::onConnect);
    return link;
}

bool HiredisAsio::send(std::uint64_t tag, const std::vector<std::string> &arguments)
{
    if (context == nullptr || closing)
        return false;
    std::vector<const char *> pointers;
    std::vector<std::size_t> lengths;
    for (const std::string &argument : arguments) {
        pointers.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    return redisAsyncCommandArgv(context, &HiredisAsio::onReply, reinterpret_cast<void *>(tag),
                                 static_cast<int>(pointers.size()), pointers.data(),
                                 lengths.data()) == REDIS_OK;
}

void HiredisAsio::close()
{
    owner = nullptr;
    if (closing || context == nullptr)
        return;
    closing = true;
    redisAsyncFree(context);
}

void HiredisAsio::arm(const std::shared_ptr<HiredisAsio> &self, bool write)
{
    bool &wanted = write ? self->writing : self->reading;
    bool &waiting = write ? self->waitingWrite : self->waitingRead;
    if (self->context == nullptr || !wanted || waiting)
        return;
    waiting = true;
    self->descriptor->async_wait(write ? net::posix::stream_descriptor::wait_write
                                       : net::posix::stream_descriptor::wait_read,
                                 [self, write](const beast::error_code &ec) {
                                     bool &wanted = write ? self->writing : self->reading;
                                     (write ? self->waitingWrite : self->waitingRead) = false;
                                     if (ec == net::error::operation_aborted ||
                                         self->context == nullptr || !wanted)
                                         return;
                                     if (write)
                                         redisAsyncHandleWrite(self->context);
                                     else
                                         redisAsyncHandleRead(self->context);
                                     arm(self, write);
                                 });
}

std::shared_ptr<HiredisAsio> &HiredisAsio::of(void *data)
{
    return *static_cast<std::shared_ptr<HiredisAsio> *>(data);
}

void HiredisAsio::addRead(void *data)
{
    of(data)->reading = true;
    arm(of(data), false);
}

void HiredisAsio::delRead(void *data)
{
    of(data)->reading = false;
}

void HiredisAsio::addWrite(void *data)
{
    of(data)->writing = true;
    arm(of(data), true);
}

void HiredisAsio::delWrite(void *data)
{
    of(data)->writing = false;
}

// hiredis frees the context next and closes its socket: the descriptor lets go of it first.
void HiredisAsio::cleanup(void *data)
{
    auto *held = static_cast<std::shared_ptr<HiredisAsio> *>(data);
    const std::shared_ptr<HiredisAsio> self = *held;
    delete held;
    const std::string reason = self->context != nullptr && self->context->errstr != nullptr
                                   ? std::string(self->context->errstr)
                                   : std::string("connection closed");
    self->context = nullptr;
    self->reading = self->writing = false;
    if (self->descriptor) {
        self->descriptor->release();
        self->descriptor.reset();
    }
    if (Owner *owner = self->owner) {
        self->owner = nullptr;
        owner->gone(reason);
    }
}

void HiredisAsio::onConnect(const redisAsyncContext *context, int status)
{
    auto *self = static_cast<HiredisAsio *>(context->data);
    // A failure is followed by the cleanup hook, which tells the owner.
    if (status == REDIS_OK && self->owner != nullptr)
        self->owner->connected();
}

void HiredisAsio::onReply(redisAsyncContext *context, void *reply, void *tag)
{
    auto *self = static_cast<HiredisAsio *>(context->data);
    // No reply: hiredis is freeing the context, and its cleanup hook tells the owner.
    if (reply == nullptr || self->owner == nullptr)
        return;
    self->owner->replied(reinterpret_cast<std::uint64_t>(tag),
                         convert(*static_cast<redisReply *>(reply)));
}

} // namespace velmora::server
