// A delay line for the slow-link benchmark, where the kernel has no netem: it forwards Ethernet
// frames between two interfaces that have no addresses of their own, holding each one for a fixed
// delay and dropping a share of them, in both directions.
//
//   velmora-slowlink-delayline IFACE_A IFACE_B DELAY_MS LOSS_PERCENT
//
// Frames are read and written with packet sockets and their virtio-net headers, so that large
// offloaded segments and checksums still to be filled in pass through as the kernel left them.
// Runs until SIGTERM or SIGINT; prints "forwarding" once both interfaces are open.

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

// sizeof(struct virtio_net_hdr); <linux/virtio_net.h> does not compile as C++ (a member is
// named "class").
constexpr std::size_t kVnetHeader = 10;

std::int64_t nowMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int openInterface(const char *name)
{
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (fd < 0) {
        std::perror("socket(AF_PACKET)");
        return -1;
    }
    const int one = 1;
    // The header that describes offloaded segments and checksums; and not our own frames back.
    if (setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0) {
        std::perror("setsockopt(SOL_PACKET)");
        close(fd);
        return -1;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = int(if_nametoindex(name));
    if (address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot bind to %s: %s\n", name, std::strerror(errno));
        close(fd);
        return -1;
    }
    // Frames for the far side's address reach this side's socket only in promiscuous mode.
    packet_mreq membership{};
    membership.mr_ifindex = address.sll_ifindex;
    membership.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        std::perror("setsockopt(PACKET_ADD_MEMBERSHIP)");
        close(fd);
        return -1;
    }
    return fd;
}

struct Frame
{
    std::int64_t due;
    std::vector<char> bytes; // virtio-net header, then the frame
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s IFACE_A IFACE_B DELAY_MS LOSS_PERCENT\n", argv[0]);
        return 2;
    }
    const std::int64_t delay = std::int64_t(std::atof(argv[3]) * 1000);
    const double loss = std::atof(argv[4]) / 100;
    if (delay < 0 || loss < 0 || loss >= 1) {
        std::fprintf(stderr, "delay must be >= 0 ms and loss between 0 and 100 %%\n");
        return 2;
    }
    const int fds[2] = {openInterface(argv[1]), openInterface(argv[2])};
    if (fds[0] < 0 || fds[1] < 0)
        return 1;
    struct sigaction action
    {
    };
    action.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::mt19937_64 random(std::random_device{}());
    std::bernoulli_distribution dropped(loss);
    // queues[i]: frames read on side i, to be written on the other side.
    std::deque<Frame> queues[2];
    std::vector<char> buffer(kVnetHeader + 65536 + 64);
    unsigned long long forwarded = 0, lost = 0;
    std::printf("forwarding\n");
    std::fflush(stdout);

    while (!stopping) {
        std::int64_t now = nowMicros();
        for (int side = 0; side < 2; ++side) {
            auto &queue = queues[side];
            while (!queue.empty() && queue.front().due <= now) {
                const Frame &frame = queue.front();
                if (send(fds[1 - side], frame.bytes.data(), frame.bytes.size(), 0) < 0 &&
                    errno != EAGAIN && errno != ENOBUFS)
                    std::fprintf(stderr, "send: %s\n", std::strerror(errno));
                queue.pop_front();
                ++forwarded;
            }
        }
        int timeout = -1;
        for (const auto &queue : queues) {
            if (!queue.empty()) {
                const int wait = int((queue.front().due - now + 999) / 1000);
                timeout = timeout < 0 ? std::max(wait, 0) : std::min(timeout, std::max(wait, 0));
            }
        }
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(polled, 2, timeout) < 0)
            continue;
        now = nowMicros();
        for (int side = 0; side < 2; ++side) {
            if (!(polled[side].revents & POLLIN))
                continue;
            for (;;) {
                const ssize_t got = recv(fds[side], buffer.data(), buffer.size(), 0);
                if (got <= 0)
                    break;
                if (dropped(random)) {
                    ++lost;
                    continue;
                }
                queues[side].push_back(
                    {now + delay, std::vector<char>(buffer.begin(), buffer.begin() + got)});
            }
        }
    }
    std::printf("forwarded %llu frames, dropped %llu\n", forwarded, lost);
    return 0;
}
