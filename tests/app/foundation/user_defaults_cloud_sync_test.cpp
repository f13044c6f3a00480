#include "app/foundation/user_defaults_cloud_sync.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/log/system_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::CloudKeyValueStore;
using gw::UserDefaultsCloudSync;
using platform::dispatch::MainLoop;
using namespace std::chrono_literals;

// The lines this process writes through the application's log call.
class LogLines {
public:
    LogLines()
        : sink_([this](const platform::log::LogRecord& record) {
              std::lock_guard lock(mutex_);
              records_.push_back(record);
          }) {}
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& record : records_) out.push_back(record.message);
        return out;
    }
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& message : messages()) n += message.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::log::LogRecord> records_;
    platform::log::ScopedLogSink sink_;
};

void settle() { MainLoop::runUntil([] { return false; }, 300ms); }

// One "machine": its own settings file and notification centre, sharing the store folder.
struct Machine {
    pf::NotificationCenter center;
    pf::UserDefaults defaults;
    UserDefaultsCloudSync sync;
    Machine(const fs::path& settings, const fs::path& cloud)
        : defaults(settings, &center), sync(CloudKeyValueStore::openAt(cloud, &center), defaults, center) {}
};

class UserDefaultsCloudSyncTest : public ::testing::Test {
protected:
    gwtest::TempDir dir;
    fs::path cloud = dir / "cloud";
    LogLines log;
};

TEST_F(UserDefaultsCloudSyncTest, CreatingRegistersEveryDefaultWithoutStoringIt) {
    Machine mac(dir / "a.plist", cloud);
    EXPECT_EQ(mac.defaults.integerForKey("iconScaleType"), 1);
    EXPECT_EQ(mac.defaults.integerForKey("CatalogExistsAction"), 0);
    EXPECT_TRUE(mac.defaults.boolForKey("catalinaMacIconPadding"));
    EXPECT_FALSE(mac.defaults.boolForKey("carKitIconOn"));
    EXPECT_TRUE(mac.defaults.persistentDomain().empty());
    ASSERT_NE(mac.sync.iCloudKeyStore(), nullptr);
    EXPECT_EQ(&mac.sync.userDefaultKeyStore(), &mac.defaults);
}

TEST_F(UserDefaultsCloudSyncTest, UpCopiesEveryKeyOfTheTable) {
    Machine mac(dir / "a.plist", cloud);
    mac.sync.start();
    settle();
    mac.defaults.setObject(pf::Value("kept local"), "SomethingElse");
    log.clear();
    mac.defaults.setBool(false, "OpenFinder");

    const pf::Value shared = pf::plist::readFile((cloud / "store.plist").string());
    ASSERT_TRUE(shared.isDictionary());
    EXPECT_EQ(shared["OpenFinder"], pf::Value(false));
    EXPECT_EQ(shared["iconScaleType"], pf::Value(std::int64_t{1}));
    EXPECT_EQ(shared.size(), gw::kUserDefaultsKeyCount) << "only the keys of the table go up";
    EXPECT_FALSE(shared.contains("SomethingElse"));
    // The count is that of every setting visible, not only of the keys copied.
    const auto visible = mac.defaults.dictionaryRepresentation().size();
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Synced defaults UP to iCloud " + std::to_string(visible)});
    EXPECT_GT(visible, gw::kUserDefaultsKeyCount);
}

// What another machine puts in the store comes down only as settings of the table, each of
// its default's kind: a root-folder grant, keys of no setting and values of the wrong kind
// are passed over, and what the settings hold under those keys stays as it was.
TEST_F(UserDefaultsCloudSyncTest, DownTakesOnlyTheSyncedSettingsOfTheirKindsWithoutEchoingThemBack) {
    Machine mac(dir / "a.plist", cloud);
    const pf::Value localGrant(pf::dataFromString("this machine's grant"));
    mac.defaults.setObject(localGrant, "rootBookmark");
    mac.sync.start();
    settle();

    struct Entry {
        std::string key;
        pf::Value value;
        bool taken;
    };
    std::vector<Entry> entries = {
        {"OpenFinder", pf::Value(false), true},
        {"iconScaleType", pf::Value(std::int64_t{2}), true},
        {"rootBookmark", pf::Value(pf::dataFromString("a grant from elsewhere")), false},
        {"ForeignKey", pf::Value("hello"), false},
        {"ShowInstructions", pf::Value(std::int64_t{0}), false},     // a flag given as a number
        {"CatalogExistsAction", pf::Value("overwrite"), false},      // a number given as text
        {"carKitIconOn", pf::Value(pf::Array{pf::Value(true)}), false},
        {"openFinder", pf::Value(false), false},                     // keys are case-sensitive
    };
    for (int i = 0; i < 30; ++i) entries.push_back({"unknown" + std::to_string(i), pf::Value(std::int64_t{i}), false});

    // Another machine writes straight into the store.
    pf::NotificationCenter otherCenter;
    auto other = CloudKeyValueStore::openAt(cloud, &otherCenter);
    for (const auto& entry : entries) other->setObject(entry.value, entry.key);
    ASSERT_TRUE(other->synchronize());
    log.clear();

    ASSERT_TRUE(MainLoop::runUntil([&] { return log.count("Synced defaults DOWN") > 0; }, 5000ms));
    settle();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"Synced defaults DOWN from iCloud 2",
                                                        "Passed over 36 iCloud entries that are no settings of this app"}));
    // The copy reached the settings file, and only the copy.
    const pf::Dictionary onDisk = pf::UserDefaults(dir / "a.plist", &otherCenter).persistentDomain();
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.key);
        const auto found = onDisk.find(entry.key);
        if (entry.taken) {
            ASSERT_NE(found, onDisk.end());
            EXPECT_EQ(found->second, entry.value);
        } else if (entry.key != "rootBookmark") {
            EXPECT_EQ(found, onDisk.end());
        }
    }
    EXPECT_EQ(onDisk.at("rootBookmark"), localGrant);
    EXPECT_EQ(mac.defaults.objectForKey("rootBookmark"), localGrant);
    EXPECT_TRUE(mac.defaults.boolForKey("ShowInstructions"));

    // After Down the next local change goes up again.
    log.clear();
    mac.defaults.setInteger(3, "iconScaleType");
    EXPECT_EQ(log.count("Synced defaults UP to iCloud "), 1u);
    ASSERT_TRUE(MainLoop::runUntil([&] { return other->objectForKey("iconScaleType") == pf::Value(3); }, 5000ms));
}

TEST_F(UserDefaultsCloudSyncTest, WithoutAStoreOnlyNotSignedInIsLogged) {
    pf::NotificationCenter center;
    pf::UserDefaults defaults(dir / "a.plist", &center);
    UserDefaultsCloudSync sync(nullptr, defaults, center);
    EXPECT_EQ(defaults.integerForKey("iconScaleType"), 1) << "defaults are registered all the same";
    sync.start();
    EXPECT_EQ(center.observerCount(), 0u);
    defaults.setBool(false, "OpenFinder");
    sync.updateToiCloud({});
    sync.updateFromiCloud({});
    EXPECT_EQ(log.messages(), std::vector<std::string>(3, "Not signed into iCloud"));
}

TEST_F(UserDefaultsCloudSyncTest, TeardownStopsObserving) {
    pf::NotificationCenter center;
    pf::UserDefaults defaults(dir / "a.plist", &center);
    {
        UserDefaultsCloudSync sync(CloudKeyValueStore::openAt(cloud, &center), defaults, center);
        sync.start();
        EXPECT_EQ(center.observerCount(), 2u);
    }
    EXPECT_EQ(center.observerCount(), 0u);
    log.clear();
    defaults.setBool(false, "OpenFinder");
    EXPECT_TRUE(log.messages().empty());
}

// ---- Two processes ------------------------------------------------------------------
// The second machine is this test program run again with only the child case selected;
// it takes its folders from the environment.

constexpr const char* kChildVariable = "GW_CLOUD_SYNC_CHILD";

TEST(UserDefaultsCloudSyncChildProcess, SecondMachine) {
    if (std::getenv(kChildVariable) == nullptr) GTEST_SKIP() << "runs only as the second process";
    pf::UserDefaults::resetStandard();
    UserDefaultsCloudSync sync;  // the standard settings and the store the environment names
    ASSERT_NE(sync.iCloudKeyStore(), nullptr);
    sync.start();
    auto& defaults = pf::UserDefaults::standard();
    // The first machine's change arrives through the first look at the store.
    ASSERT_TRUE(MainLoop::runUntil([&] { return !defaults.boolForKey("OpenFinder"); }, 10000ms));
    defaults.setInteger(2, "iconScaleType");
    // Stay until the first machine has seen the answer, so both stores are live together.
    ASSERT_TRUE(MainLoop::runUntil(
        [&] { return sync.iCloudKeyStore()->objectForKey("ForeignDone") == pf::Value(true); }, 10000ms));
}

TEST_F(UserDefaultsCloudSyncTest, SettingsFollowTheUserToASecondProcess) {
    const fs::path firstHome = dir / "first";
    const fs::path secondHome = dir / "second";
    gwtest::ScopedEnv config("XDG_CONFIG_HOME", (firstHome / "config").string());
    gwtest::ScopedEnv data("XDG_DATA_HOME", (firstHome / "data").string());
    gwtest::ScopedEnv store(std::string(CloudKeyValueStore::storeFolderVariable), cloud.string());
    pf::UserDefaults::resetStandard();

    UserDefaultsCloudSync sync;
    sync.start();
    auto& defaults = pf::UserDefaults::standard();
    defaults.setBool(false, "OpenFinder");

    // Everything the child needs is prepared before fork, so that between fork and exec
    // it only calls what is safe in a copy of a threaded process.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (text.rfind("XDG_CONFIG_HOME=", 0) == 0 || text.rfind("XDG_DATA_HOME=", 0) == 0) continue;
        environment.push_back(text);
    }
    environment.push_back("XDG_CONFIG_HOME=" + (secondHome / "config").string());
    environment.push_back("XDG_DATA_HOME=" + (secondHome / "data").string());
    environment.push_back(std::string(kChildVariable) + "=1");
    std::vector<char*> envp;
    for (auto& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=UserDefaultsCloudSyncChildProcess.SecondMachine";
    char* argv[] = {program.data(), filter.data(), nullptr};

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }

    const bool arrived = MainLoop::runUntil([&] { return defaults.integerForKey("iconScaleType") == 2; }, 10000ms);
    // Tell the second machine it may stop; the store carries this back.
    sync.iCloudKeyStore()->setObject(pf::Value(true), "ForeignDone");
    sync.iCloudKeyStore()->synchronize();

    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "second process failed, status " << status;
    EXPECT_TRUE(arrived) << "the second process's change never arrived";

    // Each machine keeps the mirrored settings in its own settings file.
    const auto second = pf::plist::readFile(
        (secondHome / "config/com.norvane.glyphwright/com.norvane.glyphwright.plist").string());
    EXPECT_EQ(second["OpenFinder"], pf::Value(false));
    EXPECT_EQ(second["iconScaleType"], pf::Value(std::int64_t{2}));
    pf::UserDefaults::resetStandard();
}

}  // namespace
