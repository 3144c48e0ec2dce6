#include "port/AddressWatch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

namespace {

/// More than a burst of news can hold is noticed as ENOBUFS, and counts as a change.
constexpr int kMostReadsPerDrain = 64;

void NoteAddress(const nlmsghdr* header, AddressWatch::News& news) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
        return;
    }
    const auto* address =
        reinterpret_cast<const ifaddrmsg*>(reinterpret_cast<const char*>(header) + NLMSG_HDRLEN);
    const unsigned index = address->ifa_index;
    if (address->ifa_family == AF_INET &&
        std::find(news.addressOn.begin(), news.addressOn.end(), index) == news.addressOn.end() &&
        news.addressOn.size() < 64) {
        news.addressOn.push_back(index);
    }
}

} // namespace

AddressWatch::AddressWatch() {
    descriptor = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (descriptor < 0) {
        return;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

AddressWatch::~AddressWatch() {
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

AddressWatch::News AddressWatch::Drain() {
    News news;
    if (descriptor < 0) {
        return news;
    }
    alignas(nlmsghdr) std::array<char, 16384> buffer;
    for (int read = 0; read < kMostReadsPerDrain; ++read) {
        sockaddr_nl from{};
        socklen_t fromSize = sizeof from;
        const ssize_t count = ::recvfrom(descriptor, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (count < 0) {
            if (errno == ENOBUFS) {
                news.changed = true; // news were lost: look at everything again
                continue;
            }
            break; // EAGAIN: nothing more waits
        }
        if (from.nl_pid != 0) {
            continue; // only the kernel speaks here
        }
        news.changed = true;
        // The macros of <linux/netlink.h> cast in the old style; the same walk by hand.
        std::size_t offset = 0;
        while (offset + sizeof(nlmsghdr) <= static_cast<std::size_t>(count)) {
            const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data() + offset);
            if (header->nlmsg_len < sizeof(nlmsghdr) ||
                offset + header->nlmsg_len > static_cast<std::size_t>(count)) {
                break;
            }
            if (header->nlmsg_type == RTM_NEWADDR) {
                NoteAddress(header, news);
            }
            offset += NLMSG_ALIGN(header->nlmsg_len);
        }
    }
    return news;
}

} // namespace kestrane
