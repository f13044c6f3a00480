// One instance of the application per user: on a session bus of the test's own, and
// without a bus through a private folder. The first claim is the instance; later ones
// hand their files over and end; while the instance ends they wait, and the one waiting
// becomes the instance once it has gone (or gives up when asked to).
#include "platform/appkit/application_instance.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace {

namespace pa = platform::appkit;
using Files = std::vector<std::string>;

constexpr const char* kId = "com.norvane.glyphwright.instancetest";

bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Received {
    std::mutex mutex;
    std::vector<Files> requests;
    pa::ApplicationInstance::Handler handler() {
        return [this](Files files) {
            std::lock_guard lock(mutex);
            requests.push_back(std::move(files));
        };
    }
    std::vector<Files> taken() {
        std::lock_guard lock(mutex);
        return requests;
    }
};

TEST(ApplicationInstance, LaterLaunchesHandTheirFilesToTheInstanceAndWaitWhileItEnds) {
    for (const bool onBus : {true, false}) {
        SCOPED_TRACE(onBus ? "on the session bus" : "through a private folder");
        gwtest::TempDir runtime;
        ::chmod(runtime.path().c_str(), 0700);
        const gwtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.path().string());
        std::unique_ptr<gwtest::desktop::PrivateSessionBus> bus;
        std::unique_ptr<gwtest::ScopedEnv> noBus;
        if (onBus) {
            bus = std::make_unique<gwtest::desktop::PrivateSessionBus>();
        } else {
            noBus = std::make_unique<gwtest::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", std::string());
        }

        Received first;
        auto claimed = pa::ApplicationInstance::claim(kId, {}, first.handler());
        ASSERT_TRUE(claimed.instance) << claimed.failure;
        EXPECT_EQ(claimed.instance->description() == "the session bus", onBus);
        auto instance = std::move(claimed.instance);

        Received unused;
        const Files files = {"/tmp/a picture.png", "/tmp/ünïcode/b.png"};
        auto second = pa::ApplicationInstance::claim(kId, files, unused.handler());
        EXPECT_TRUE(second.handedOver) << second.failure;
        EXPECT_FALSE(second.instance);
        auto third = pa::ApplicationInstance::claim(kId, {}, unused.handler());
        EXPECT_TRUE(third.handedOver) << third.failure;
        EXPECT_EQ(first.taken(), (std::vector<Files>{files, {}}));

        // Ending: a later launch waits, then is the instance once the first has gone.
        instance->setEnding(true);
        std::atomic<bool> waiting{false}, done{false};
        pa::ApplicationInstance::Claim fourth;
        Received later;
        std::thread launch([&] {
            pa::ApplicationInstance::Options options;
            options.waiting = [&] { waiting = true; };
            fourth = pa::ApplicationInstance::claim(kId, {"/tmp/late.png"}, later.handler(), options);
            done = true;
        });
        EXPECT_TRUE(waitFor([&] { return waiting.load(); }));
        EXPECT_FALSE(done);
        instance.reset();
        launch.join();
        ASSERT_TRUE(fourth.instance) << fourth.failure;
        EXPECT_FALSE(fourth.handedOver);
        EXPECT_EQ(first.taken().size(), 2u);

        // A quit called off serves again; a launch asked to end while waiting gives up.
        fourth.instance->setEnding(true);
        fourth.instance->setEnding(false);
        EXPECT_TRUE(pa::ApplicationInstance::claim(kId, {"/tmp/c.png"}, unused.handler()).handedOver);
        EXPECT_EQ(later.taken(), (std::vector<Files>{{"/tmp/c.png"}}));
        fourth.instance->setEnding(true);
        pa::ApplicationInstance::Options givingUp;
        int tries = 0;
        givingUp.givingUp = [&] { return ++tries > 3; };
        const auto gaveUp = pa::ApplicationInstance::claim(kId, {"/tmp/d.png"}, unused.handler(), givingUp);
        EXPECT_FALSE(gaveUp.instance);
        EXPECT_FALSE(gaveUp.handedOver);
        EXPECT_FALSE(gaveUp.failure.empty());
        EXPECT_EQ(later.taken().size(), 1u);
    }
}

}  // namespace
