#include "platform/appkit/view_appearance.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::appkit {

namespace {

struct Observers {
    std::mutex mutex;
    std::vector<std::pair<ViewAppearance::Token, std::shared_ptr<ViewAppearance::Observer>>> list;
    ViewAppearance::Token next = 1;
};

Observers& observers() {
    static Observers instance;
    return instance;
}

}  // namespace

void ViewAppearance::willAppear(const std::string& className, bool isContainer) {
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        auto& all = observers();
        std::lock_guard lock(all.mutex);
        for (const auto& [token, observer] : all.list) snapshot.push_back(observer);
    }
    // Called without the lock: an observer may track a page, which may appear again.
    for (const auto& observer : snapshot) (*observer)(className, isContainer);
}

ViewAppearance::Token ViewAppearance::addObserver(Observer observer) {
    auto& all = observers();
    std::lock_guard lock(all.mutex);
    const Token token = all.next++;
    all.list.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void ViewAppearance::removeObserver(Token token) {
    auto& all = observers();
    std::lock_guard lock(all.mutex);
    std::erase_if(all.list, [token](const auto& entry) { return entry.first == token; });
}

std::string ViewAppearance::demangledName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                     &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace platform::appkit
