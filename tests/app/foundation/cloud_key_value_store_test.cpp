#include "app/foundation/cloud_key_value_store.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/plist.hpp"
#include "support/hostile_files.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::CloudKeyValueStore;
using platform::dispatch::MainLoop;
using namespace std::chrono_literals;

// The change notices one store posts on its own notification centre.
struct Recorder {
    pf::NotificationCenter center;
    std::vector<pf::Notification> notices;
    Recorder() {
        center.addObserver(std::string(CloudKeyValueStore::didChangeExternallyNotification), nullptr,
                           [this](const pf::Notification& n) { notices.push_back(n); });
    }
    std::vector<std::string> changedKeys(std::size_t index) const {
        std::vector<std::string> keys;
        for (const auto& key : *notices.at(index).userInfo[CloudKeyValueStore::changedKeysKey].asArray()) {
            keys.push_back(*key.asString());
        }
        return keys;
    }
    std::int64_t reason(std::size_t index) const {
        return *notices.at(index).userInfo[CloudKeyValueStore::changeReasonKey].asInteger();
    }
    bool waitFor(std::size_t count) {
        return MainLoop::runUntil([&] { return notices.size() >= count; }, 5000ms);
    }
};

// Lets queued deliveries run for a while, for checks that nothing arrives.
void settle() { MainLoop::runUntil([] { return false; }, 300ms); }

class CloudKeyValueStoreTest : public ::testing::Test {
protected:
    gwtest::TempDir dir;
    fs::path folder = dir / "cloud";
};

TEST_F(CloudKeyValueStoreTest, ChangesFromElsewhereAreAnnouncedButOwnWritesAreNot) {
    Recorder mine, theirs;
    auto a = CloudKeyValueStore::openAt(folder, &mine.center);
    auto b = CloudKeyValueStore::openAt(folder, &theirs.center);
    ASSERT_TRUE(a && b);
    settle();  // both have taken their first look at the (empty) shared copy
    EXPECT_TRUE(theirs.notices.empty());

    a->setObject(pf::Value(false), "OpenFinder");
    a->setObject(pf::Value(std::int64_t{2}), "iconScaleType");
    EXPECT_EQ(a->objectForKey("OpenFinder"), pf::Value(false));
    EXPECT_EQ(b->objectForKey("OpenFinder"), pf::Value()) << "nothing is shared before synchronize";
    ASSERT_TRUE(a->synchronize());

    ASSERT_TRUE(theirs.waitFor(1));
    EXPECT_EQ(theirs.reason(0), static_cast<std::int64_t>(CloudKeyValueStore::ChangeReason::serverChange));
    EXPECT_EQ(theirs.changedKeys(0), (std::vector<std::string>{"OpenFinder", "iconScaleType"}));
    EXPECT_EQ(theirs.notices[0].object, b.get());
    EXPECT_EQ(b->objectForKey("OpenFinder"), pf::Value(false));
    EXPECT_EQ(b->dictionaryRepresentation().size(), 2u);

    a->removeObject("iconScaleType");
    a->setObject(pf::Value(false), "OpenFinder");  // unchanged value: not reported
    ASSERT_TRUE(a->synchronize());
    ASSERT_TRUE(theirs.waitFor(2));
    EXPECT_EQ(theirs.changedKeys(1), (std::vector<std::string>{"iconScaleType"}));
    EXPECT_EQ(b->objectForKey("iconScaleType"), pf::Value());

    settle();
    EXPECT_TRUE(mine.notices.empty()) << "a store reports only changes made elsewhere";
    EXPECT_EQ(theirs.notices.size(), 2u);
}

TEST_F(CloudKeyValueStoreTest, AStoreOpenedLaterGetsTheStoredValuesAsInitialSync) {
    Recorder first;
    auto a = CloudKeyValueStore::openAt(folder, &first.center);
    ASSERT_TRUE(a);
    a->setObject(pf::Value("x"), "foreign");
    ASSERT_TRUE(a->synchronize());

    Recorder later;
    auto b = CloudKeyValueStore::openAt(folder, &later.center);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->objectForKey("foreign"), pf::Value("x"));
    ASSERT_TRUE(later.waitFor(1));
    EXPECT_EQ(later.reason(0), static_cast<std::int64_t>(CloudKeyValueStore::ChangeReason::initialSyncChange));
    EXPECT_EQ(later.changedKeys(0), std::vector<std::string>{"foreign"});
}

TEST_F(CloudKeyValueStoreTest, UnsentLocalChangeWinsOverAConcurrentRemoteOne) {
    Recorder mine, theirs;
    auto a = CloudKeyValueStore::openAt(folder, &mine.center);
    auto b = CloudKeyValueStore::openAt(folder, &theirs.center);
    settle();

    b->setObject(pf::Value("mine"), "key");
    a->setObject(pf::Value("theirs"), "key");
    a->setObject(pf::Value(1), "other");
    ASSERT_TRUE(a->synchronize());
    ASSERT_TRUE(theirs.waitFor(1));
    EXPECT_EQ(theirs.changedKeys(0), std::vector<std::string>{"other"});
    EXPECT_EQ(b->objectForKey("key"), pf::Value("mine"));

    ASSERT_TRUE(b->synchronize());
    ASSERT_TRUE(mine.waitFor(1));
    EXPECT_EQ(mine.changedKeys(0), std::vector<std::string>{"key"});
    EXPECT_EQ(a->objectForKey("key"), pf::Value("mine"));
    EXPECT_EQ(a->objectForKey("other"), pf::Value(1)) << "merging keeps the other process's keys";
}

TEST_F(CloudKeyValueStoreTest, ConcurrentWritersLoseNoKeys) {
    pf::NotificationCenter center;
    auto a = CloudKeyValueStore::openAt(folder, &center);
    auto b = CloudKeyValueStore::openAt(folder, &center);
    auto writeMany = [](CloudKeyValueStore& store, const std::string& prefix) {
        for (int i = 0; i < 40; ++i) {
            store.setObject(pf::Value(i), prefix + std::to_string(i));
            EXPECT_TRUE(store.synchronize());
        }
    };
    std::thread first([&] { writeMany(*a, "a"); });
    std::thread second([&] { writeMany(*b, "b"); });
    first.join();
    second.join();
    const pf::Value shared = pf::plist::readFile((folder / "store.plist").string());
    EXPECT_EQ(shared.size(), 80u);
}

// A damaged shared copy (a text holding a NUL stops the property-list library where it
// reads one) is set aside, read as empty, and a new one is written by the next change.
TEST_F(CloudKeyValueStoreTest, DamagedSharedCopyIsSetAsideAndReplacedOnTheNextWrite) {
    for (const std::string& damaged : {std::string("this is not a property list"),
                                       gwtest::binaryPlistOfTexts(u"OpenFinder", std::u16string(u"\0", 1))}) {
        fs::remove_all(folder);
        gwtest::writeFile(folder / "store.plist", damaged);
        pf::NotificationCenter center;
        auto a = CloudKeyValueStore::openAt(folder, &center);
        ASSERT_TRUE(a);
        EXPECT_TRUE(a->dictionaryRepresentation().empty());
        EXPECT_EQ(gwtest::readFile(folder / "store.plist.corrupt"), damaged);
        a->setObject(pf::Value(true), "OpenFinder");
        ASSERT_TRUE(a->synchronize());
        const pf::Value written = pf::plist::readFile((folder / "store.plist").string());
        EXPECT_EQ(written["OpenFinder"], pf::Value(true));
    }
}

TEST_F(CloudKeyValueStoreTest, FailedWriteKeepsTheChangeForTheNextSynchronize) {
    pf::NotificationCenter center;
    auto a = CloudKeyValueStore::openAt(folder, &center);
    ASSERT_TRUE(a);
    a->setObject(pf::Value(7), "DeviceColor");
    // The shared folder goes away and something else takes its place.
    fs::rename(folder, dir / "away");
    gwtest::writeFile(folder, "in the way");
    EXPECT_FALSE(a->synchronize());
    EXPECT_EQ(a->objectForKey("DeviceColor"), pf::Value(7));
    fs::remove(folder);
    fs::rename(dir / "away", folder);
    EXPECT_TRUE(a->synchronize());
    EXPECT_EQ(pf::plist::readFile((folder / "store.plist").string())["DeviceColor"], pf::Value(7));
}

TEST_F(CloudKeyValueStoreTest, NoStoreWhenSwitchedOffOrTheFolderIsUnusable) {
    {
        gwtest::ScopedEnv off(std::string(CloudKeyValueStore::storeFolderVariable), "");
        EXPECT_EQ(CloudKeyValueStore::configuredStoreFolder(), std::nullopt);
        EXPECT_EQ(CloudKeyValueStore::open(), nullptr);
    }
    gwtest::writeFile(dir / "blocked", "a file where the folder should be");
    EXPECT_EQ(CloudKeyValueStore::openAt(dir / "blocked"), nullptr);
    EXPECT_EQ(CloudKeyValueStore::openAt(dir / "blocked/inside"), nullptr);
}

TEST_F(CloudKeyValueStoreTest, DefaultFolderIsInApplicationSupport) {
    gwtest::ScopedXdgHome home;
    gwtest::ScopedEnv unset(std::string(CloudKeyValueStore::storeFolderVariable), std::nullopt);
    EXPECT_EQ(CloudKeyValueStore::configuredStoreFolder(),
              home.root() / "data" / "com.norvane.glyphwright" / "CloudKeyValueStore");
    gwtest::ScopedEnv chosen(std::string(CloudKeyValueStore::storeFolderVariable), folder.string());
    pf::NotificationCenter center;
    auto store = CloudKeyValueStore::open(&center);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->folder(), folder);
}

}  // namespace
