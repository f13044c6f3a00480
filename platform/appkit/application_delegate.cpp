#include "platform/appkit/application_delegate.hpp"

#include "platform/appkit/view_appearance.hpp"

#include <mutex>
#include <utility>

namespace platform::appkit {

namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<ApplicationDelegate> delegate;
    std::vector<std::pair<ApplicationDelegateRegistry::Token, std::shared_ptr<ApplicationDelegateRegistry::Observer>>>
        observers;
    ApplicationDelegateRegistry::Token next = 1;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

std::string ApplicationDelegate::delegateClassName() const { return ViewAppearance::demangledName(typeid(*this)); }

void ApplicationDelegateRegistry::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        auto& all = registry();
        std::lock_guard lock(all.mutex);
        all.delegate = delegate;
        for (const auto& [token, observer] : all.observers) snapshot.push_back(observer);
    }
    if (!delegate) return;
    for (const auto& observer : snapshot) (*observer)(delegate);
}

std::shared_ptr<ApplicationDelegate> ApplicationDelegateRegistry::delegate() {
    auto& all = registry();
    std::lock_guard lock(all.mutex);
    return all.delegate;
}

ApplicationDelegateRegistry::Token ApplicationDelegateRegistry::addObserver(Observer observer) {
    auto& all = registry();
    std::lock_guard lock(all.mutex);
    const Token token = all.next++;
    all.observers.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void ApplicationDelegateRegistry::removeObserver(Token token) {
    auto& all = registry();
    std::lock_guard lock(all.mutex);
    std::erase_if(all.observers, [token](const auto& entry) { return entry.first == token; });
}

void ApplicationDelegateRegistry::reset() {
    auto& all = registry();
    std::lock_guard lock(all.mutex);
    all.delegate.reset();
    all.observers.clear();
}

}  // namespace platform::appkit
