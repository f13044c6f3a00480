#include "platform/network/reachability.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/log/system_log.hpp"

#include <fmt/format.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <variant>
#include <vector>

namespace platform::network {

namespace {

const log::SystemLog& reachabilityLog() {
    static const log::SystemLog instance("platform.network", "reachability");
    return instance;
}

constexpr auto kSettleTime = std::chrono::milliseconds(100);

struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int f = -1) : fd(f) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int release() { return std::exchange(fd, -1); }
};

// One request/answer exchange with the kernel's routing tables. Answers none when
// the kernel could not be asked or answered something unreadable.
class RouteQuery {
public:
    RouteQuery() : socket_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (socket_.fd < 0) return;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(socket_.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(socket_.release());
            return;
        }
        // A blocked kernel answer must not hold the watcher's thread for ever.
        timeval timeout{5, 0};
        ::setsockopt(socket_.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    bool usable() const { return socket_.fd >= 0; }

    // The Internet: a default unicast route of the main table through a link that is
    // up and running.
    std::optional<std::set<int>> linksUp() {
        std::set<int> up;
        bool ok = dump(RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr* header) {
            if (header->nlmsg_type != RTM_NEWLINK) return;
            const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
            if ((info->ifi_flags & IFF_UP) && (info->ifi_flags & IFF_RUNNING)) up.insert(info->ifi_index);
        });
        if (!ok) return std::nullopt;
        return up;
    }

    std::optional<bool> internet() {
        auto upLinks = linksUp();
        if (!upLinks) return std::nullopt;
        bool found = false;
        for (int family : {AF_INET, AF_INET6}) {
            const bool ok = dump(RTM_GETROUTE, family, [&](const nlmsghdr* header) {
                if (header->nlmsg_type != RTM_NEWROUTE) return;
                const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
                if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
                std::uint32_t table = route->rtm_table;
                std::vector<int> links;
                int length = static_cast<int>(RTM_PAYLOAD(header));
                for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
                    if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(std::uint32_t)) {
                        std::memcpy(&table, RTA_DATA(attribute), sizeof table);
                    } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
                        int link = 0;
                        std::memcpy(&link, RTA_DATA(attribute), sizeof link);
                        links.push_back(link);
                    } else if (attribute->rta_type == RTA_MULTIPATH) {
                        auto* hop = static_cast<rtnexthop*>(RTA_DATA(attribute));
                        int left = static_cast<int>(RTA_PAYLOAD(attribute));
                        while (left >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
                               hop->rtnh_len <= left) {
                            links.push_back(hop->rtnh_ifindex);
                            left -= RTNH_ALIGN(hop->rtnh_len);
                            hop = RTNH_NEXT(hop);
                        }
                    }
                }
                if (table != RT_TABLE_MAIN) return;
                for (int link : links) {
                    if (upLinks->contains(link)) found = true;
                }
            });
            if (!ok) return std::nullopt;
        }
        return found;
    }

    // The kernel's own lookup for one address: a unicast or local route is usable;
    // "no route" is a determined "not reachable".
    std::optional<bool> address(const sockaddr* address) {
        struct {
            nlmsghdr header;
            rtmsg route;
            std::array<char, 64> attributes;
        } request{};
        const void* bytes = nullptr;
        unsigned length = 0;
        if (address->sa_family == AF_INET) {
            bytes = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
            length = 4;
        } else {
            bytes = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
            length = 16;
        }
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        request.header.nlmsg_type = RTM_GETROUTE;
        request.header.nlmsg_flags = NLM_F_REQUEST;
        request.header.nlmsg_seq = ++sequence_;
        request.route.rtm_family = static_cast<unsigned char>(address->sa_family);
        request.route.rtm_dst_len = static_cast<unsigned char>(length * 8);
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
        attribute->rta_type = RTA_DST;
        attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
        std::memcpy(RTA_DATA(attribute), bytes, length);
        request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
        if (!send(&request, request.header.nlmsg_len)) return std::nullopt;

        std::optional<bool> answer;
        std::optional<int> outputLink;
        bool done = receive([&](const nlmsghdr* header) {
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                const int code = -error->error;
                if (code == ENETUNREACH || code == EHOSTUNREACH || code == EINVAL || code == ENETDOWN) answer = false;
                return true;
            }
            if (header->nlmsg_type == RTM_NEWROUTE) {
                const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
                answer = route->rtm_type == RTN_UNICAST || route->rtm_type == RTN_LOCAL;
                int length = static_cast<int>(RTM_PAYLOAD(header));
                for (auto* a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
                    if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
                        int link = 0;
                        std::memcpy(&link, RTA_DATA(a), sizeof link);
                        outputLink = link;
                    }
                }
                return true;
            }
            return false;
        });
        if (!done) return std::nullopt;
        // The kernel keeps the routes of a link that went down (loopback's local
        // routes, for one); such a route leads nowhere.
        if (answer.value_or(false) && outputLink) {
            auto upLinks = linksUp();
            if (!upLinks) return std::nullopt;
            answer = upLinks->contains(*outputLink);
        }
        return answer;
    }

private:
    bool send(const void* message, std::size_t length) {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        return ::sendto(socket_.fd, message, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
               static_cast<ssize_t>(length);
    }

    // Reads answers to the last request until `handle` says it has seen the end.
    template <class Handle>
    bool receive(Handle&& handle) {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const ssize_t got = ::recv(socket_.fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            int length = static_cast<int>(got);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
                 header = NLMSG_NEXT(header, length)) {
                if (header->nlmsg_seq != sequence_) continue;  // a late answer to an earlier request
                if (handle(header)) return true;
            }
        }
    }

    template <class Visit>
    bool dump(int type, int family, Visit&& visit) {
        struct {
            nlmsghdr header;
            rtgenmsg body;
        } request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
        request.header.nlmsg_type = static_cast<unsigned short>(type);
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = ++sequence_;
        request.body.rtgen_family = static_cast<unsigned char>(family);
        if (!send(&request, request.header.nlmsg_len)) return false;
        bool failed = false;
        bool done = receive([&](const nlmsghdr* header) {
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) {
                failed = true;
                return true;
            }
            visit(header);
            return false;
        });
        return done && !failed;
    }

    FileDescriptor socket_;
    std::uint32_t sequence_ = 0;
};

bool isZeroAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == 0;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_UNSPECIFIED(&v6);
}

}  // namespace

struct ReachabilityWatcher::Target {
    struct Internet {};
    std::variant<Internet, sockaddr_storage, std::string, StatusSource> what;
    std::string description;

    bool watchesKernel() const { return !std::holds_alternative<StatusSource>(what); }

    std::optional<bool> evaluate() const {
        if (const auto* source = std::get_if<StatusSource>(&what)) return (*source)();
        RouteQuery query;
        if (!query.usable()) return std::nullopt;
        if (std::holds_alternative<Internet>(what)) return query.internet();
        if (const auto* address = std::get_if<sockaddr_storage>(&what)) {
            return query.address(reinterpret_cast<const sockaddr*>(address));
        }
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(std::get<std::string>(what).c_str(), nullptr, &hints, &found) != 0 || !found) {
            return false;  // a name that does not resolve now cannot be reached now
        }
        std::optional<bool> answer = false;
        for (auto* entry = found; entry; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
            auto one = query.address(entry->ai_addr);
            if (!one) answer = std::nullopt;
            if (one && *one) {
                answer = true;
                break;
            }
        }
        ::freeaddrinfo(found);
        return answer;
    }
};

ReachabilityWatcher::ReachabilityWatcher(std::shared_ptr<Target> target) : target_(std::move(target)) {}

ReachabilityWatcher::~ReachabilityWatcher() { stopNotifier(); }

std::shared_ptr<ReachabilityWatcher> ReachabilityWatcher::forInternetConnection() {
    auto target = std::make_shared<Target>();
    target->what = Target::Internet{};
    target->description = "the Internet";
    return std::shared_ptr<ReachabilityWatcher>(new ReachabilityWatcher(std::move(target)));
}

std::shared_ptr<ReachabilityWatcher> ReachabilityWatcher::withAddress(const sockaddr* address) {
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6)) return nullptr;
    sockaddr_storage copy{};
    std::memcpy(&copy, address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (isZeroAddress(copy)) return forInternetConnection();
    auto target = std::make_shared<Target>();
    target->what = copy;
    char text[INET6_ADDRSTRLEN] = {};
    ::getnameinfo(address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6), text,
                  sizeof text, nullptr, 0, NI_NUMERICHOST);
    target->description = text;
    return std::shared_ptr<ReachabilityWatcher>(new ReachabilityWatcher(std::move(target)));
}

std::shared_ptr<ReachabilityWatcher> ReachabilityWatcher::withHostName(std::string hostName) {
    if (hostName.empty()) return nullptr;
    auto target = std::make_shared<Target>();
    target->description = hostName;
    target->what = std::move(hostName);
    return std::shared_ptr<ReachabilityWatcher>(new ReachabilityWatcher(std::move(target)));
}

std::shared_ptr<ReachabilityWatcher> ReachabilityWatcher::withStatusSource(StatusSource source) {
    auto target = std::make_shared<Target>();
    target->what = std::move(source);
    target->description = "an injected status";
    return std::shared_ptr<ReachabilityWatcher>(new ReachabilityWatcher(std::move(target)));
}

bool ReachabilityWatcher::evaluate() const {
    if (auto status = target_->evaluate()) return *status;
    // Counting it as unreachable would hold back every user of the watcher for ever.
    if (!reportedUndeterminable_.exchange(true)) {
        reachabilityLog().error(fmt::format(
            "The reachability of {} cannot be determined; it is taken as reachable", target_->description));
    }
    return true;
}

NetworkStatus ReachabilityWatcher::currentReachabilityStatus() const {
    bool reachable = false;
    {
        std::lock_guard lock(mutex_);
        if (running_) reachable = lastStatus_.load();
        else reachable = evaluate();
    }
    return reachable ? NetworkStatus::reachable : NetworkStatus::notReachable;
}

std::uint32_t ReachabilityWatcher::flags() const {
    return currentReachabilityStatus() == NetworkStatus::reachable ? kReachabilityFlagReachable : 0;
}

bool ReachabilityWatcher::startNotifier() {
    std::lock_guard lock(mutex_);
    if (running_) return true;
    FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.fd < 0) return false;
    FileDescriptor events;
    if (target_->watchesKernel()) {
        events.fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (events.fd >= 0) {
            sockaddr_nl local{};
            local.nl_family = AF_NETLINK;
            local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
            if (::bind(events.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ::close(events.release());
        }
        // Without the event socket the status is still read once; evaluate() logs it
        // if the kernel cannot be asked at all.
    }
    // Until the thread's first look, answer from a look made now, unless that would
    // mean resolving a host name on the caller's thread.
    if (!std::holds_alternative<std::string>(target_->what)) lastStatus_ = evaluate();
    wakeFd_ = wake.release();
    running_ = true;
    posting_ = std::make_shared<std::atomic<bool>>(true);
    thread_ = std::thread([this, eventSocket = events.release()] { run(eventSocket); });
    return true;
}

void ReachabilityWatcher::stopNotifier() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        posting_->store(false);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
        thread = std::move(thread_);
    }
    thread.join();
    std::lock_guard lock(mutex_);
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void ReachabilityWatcher::statusMayHaveChanged() {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    // The counter's value is not read: a wake-up without a stop means "look again".
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

void ReachabilityWatcher::run(int eventSocket) {
    FileDescriptor events(eventSocket);
    int wakeFd = -1;
    std::shared_ptr<std::atomic<bool>> posting;
    {
        std::lock_guard lock(mutex_);
        wakeFd = wakeFd_;
        posting = posting_;
    }
    auto post = [this, posting](bool reachable) {
        lastStatus_ = reachable;
        const void* sender = this;
        dispatch::DispatchQueue::main().async([posting, sender] {
            if (posting->load()) {
                foundation::NotificationCenter::defaultCenter().post(std::string(kReachabilityChangedNotification), sender);
            }
        });
    };

    bool status = evaluate();
    post(status);
    std::optional<std::chrono::steady_clock::time_point> settleBy;
    std::vector<char> discard(16 * 1024);
    for (;;) {
        int timeout = -1;
        if (settleBy) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*settleBy - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        }
        pollfd watched[2] = {{wakeFd, POLLIN, 0}, {events.fd, POLLIN, 0}};
        const int ready = ::poll(watched, events.fd >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (!posting->load()) break;
        bool lookAgain = false;
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(wakeFd, &count, sizeof count);
            lookAgain = true;
        }
        if (ready > 0 && events.fd >= 0 && watched[1].revents) {
            // What changed does not matter, only that something did: the status is
            // read whole from the kernel once the burst has settled. An overrun
            // (ENOBUFS) means the same.
            while (::recv(events.fd, discard.data(), discard.size(), MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
            }
            lookAgain = true;
        }
        if (lookAgain && !settleBy) settleBy = std::chrono::steady_clock::now() + kSettleTime;
        if (settleBy && std::chrono::steady_clock::now() >= *settleBy) {
            settleBy.reset();
            const bool now = evaluate();
            if (now != status) {
                status = now;
                post(status);
            } else {
                lastStatus_ = now;
            }
        }
    }
}

}  // namespace platform::network
