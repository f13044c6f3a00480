#pragma once
// Posting named notices to observers; stands in for the platform's notification centre.
#include "platform/foundation/value.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::foundation {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, compared by identity only
    Value userInfo;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's shared centre.
    static NotificationCenter& defaultCenter();

    // Calls `handler` for every notice named `name` (empty: any name) sent by
    // `object` (nullptr: any sender). `owner` groups observations so that
    // removeObserver(owner, …) can end them together.
    Token addObserver(std::string name, const void* object, Handler handler, const void* owner = nullptr);
    void removeObserver(Token token);
    // Ends the owner's observations of `name` (empty: of every name) from `object`
    // (nullptr: from every sender).
    void removeObserver(const void* owner, const std::string& name = {}, const void* object = nullptr);

    // Delivers synchronously on the calling thread, in registration order, to the
    // observations that exist when posting starts and have not been removed by the
    // time their turn comes. Handlers may add and remove observers.
    void post(const Notification& notification);
    void post(std::string name, const void* object = nullptr, Value userInfo = {});

    std::size_t observerCount() const;

private:
    struct Observation {
        Token token;
        std::string name;
        const void* object;
        const void* owner;
        Handler handler;
        std::shared_ptr<std::atomic<bool>> alive;
    };
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Observation>> observations_;
    Token nextToken_ = 1;
};

}  // namespace platform::foundation
