#include "platform/security/keychain.hpp"

#include "platform/foundation/files.hpp"
#include "support/hostile_files.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace kc = platform::security::keychain;
using platform::foundation::Data;
using platform::foundation::dataFromString;

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

TEST(KeychainTest, ItemsAreAddedReadAndDeletedPerServiceWithThePlatformStatuses) {
    gwtest::ScopedXdgHome xdg;
    const std::string service = "com.example.app.Service";
    Data value;
    EXPECT_EQ(kc::copyMatching(service, "a", &value), kc::kStatusItemNotFound);
    EXPECT_EQ(kc::remove(service, "a"), kc::kStatusItemNotFound);
    EXPECT_EQ(kc::removeAll(service), kc::kStatusItemNotFound);

    EXPECT_EQ(kc::add(service, "a", dataFromString("first")), kc::kStatusSuccess);
    EXPECT_EQ(kc::add(service, "a", dataFromString("second")), kc::kStatusDuplicateItem);
    EXPECT_EQ(kc::add(service, "b", dataFromString("bee")), kc::kStatusSuccess);
    EXPECT_EQ(kc::add("other.Service", "a", dataFromString("elsewhere")), kc::kStatusSuccess);
    EXPECT_EQ(kc::copyMatching(service, "a", &value), kc::kStatusSuccess);
    EXPECT_EQ(value, dataFromString("first"));  // a duplicate add never replaces

    // The store is a private folder of private files under the XDG data home.
    EXPECT_EQ(kc::directory().parent_path().parent_path(), xdg.root() / "data");
    EXPECT_EQ(modeOf(kc::directory()), 0700u);
    EXPECT_EQ(modeOf(kc::storePath(service)), 0600u);

    EXPECT_EQ(kc::remove(service, "a"), kc::kStatusSuccess);
    EXPECT_EQ(kc::copyMatching(service, "a", nullptr), kc::kStatusItemNotFound);
    EXPECT_EQ(kc::removeAll(service), kc::kStatusSuccess);
    EXPECT_EQ(kc::copyMatching(service, "b", nullptr), kc::kStatusItemNotFound);
    EXPECT_EQ(kc::copyMatching("other.Service", "a", &value), kc::kStatusSuccess);
    EXPECT_EQ(value, dataFromString("elsewhere"));
}

TEST(KeychainTest, AnUnreadableStoreIsMovedAsideAndStartsEmpty) {
    gwtest::ScopedXdgHome xdg;
    const std::string service = "svc";
    ASSERT_EQ(kc::add(service, "k", dataFromString("v")), kc::kStatusSuccess);
    // The last: a text holding a NUL, which stops the property-list library where it reads one.
    for (const std::string& garbage : {std::string("not a property list"), std::string("<plist><string>x</string></plist>"),
                                       gwtest::binaryPlistOfTexts(u"k", std::u16string(u"v\0", 2))}) {
        gwtest::writeFile(kc::storePath(service), garbage);
        EXPECT_EQ(kc::copyMatching(service, "k", nullptr), kc::kStatusItemNotFound);
        EXPECT_EQ(gwtest::readFile(kc::storePath(service).string() + ".corrupt"), garbage);
        EXPECT_EQ(kc::add(service, "k", dataFromString("new")), kc::kStatusSuccess);
    }
    // A folder in the way of the store reports an I/O failure, not absence.
    std::filesystem::remove(kc::storePath(service));
    std::filesystem::create_directories(kc::storePath(service));
    EXPECT_EQ(kc::copyMatching(service, "k", nullptr), kc::kStatusIO);
}

TEST(KeychainTest, ConcurrentWritersInSeveralProcessesLoseNoItem) {
    gwtest::ScopedXdgHome xdg;
    const std::string service = "shared";
    constexpr int kProcesses = 4;
    constexpr int kItems = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kItems; ++i) {
                const auto account = std::to_string(p) + "-" + std::to_string(i);
                failures += kc::add(service, account, dataFromString(account)) != kc::kStatusSuccess;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    // Threads of this process write at the same time.
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, &service] {
            for (int i = 0; i < kItems; ++i) kc::add(service, "t" + std::to_string(t) + "-" + std::to_string(i), {1});
        });
    }
    for (auto& thread : threads) thread.join();
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kItems; ++i) {
            const auto account = std::to_string(p) + "-" + std::to_string(i);
            Data value;
            ASSERT_EQ(kc::copyMatching(service, account, &value), kc::kStatusSuccess) << account;
            EXPECT_EQ(value, dataFromString(account));
        }
    }
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < kItems; ++i) {
            EXPECT_EQ(kc::copyMatching(service, "t" + std::to_string(t) + "-" + std::to_string(i), nullptr),
                      kc::kStatusSuccess);
        }
    }
    // The lock is re-entrant on one thread: operations inside it do not deadlock.
    bool ran = false;
    EXPECT_EQ(kc::withExclusiveLock(service, [&] {
                  kc::withExclusiveLock(service, [&] { ran = kc::add(service, "inner", {2}) == kc::kStatusSuccess; });
              }),
              kc::kStatusSuccess);
    EXPECT_TRUE(ran);
}

}  // namespace
