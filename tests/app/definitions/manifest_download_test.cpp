// The manifest refresh over real HTTP from a loopback server.
#include "app/definitions/config_file.hpp"

#include "definitions_support.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/network/url_session.hpp"

#include <gtest/gtest.h>
#include <fmt/format.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

namespace pf = platform::foundation;
using gw::ConfigFile;
using pf::Value;

class ManifestDownload : public ::testing::Test {
protected:
    void SetUp() override {
        gwtest::resetDefinitionsState();
        bundleManifest_ = pf::files::readString(ConfigFile::bundleConfigURL().fsPath());
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        useDownloadFolder(fmt::format("http://127.0.0.1:{}/config/", port_));
    }
    void TearDown() override {
        server_.stop();
        if (thread_.joinable()) thread_.join();
        gwtest::resetDefinitionsState();
    }

    static void useDownloadFolder(const std::string& folder) {
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(
            std::filesystem::path(GW_SOURCE_DIR) / "resources",
            pf::Dictionary{{std::string(ConfigFile::kDownloadFolderInfoKey), Value(folder)}}));
    }

    void serve(std::function<void(const httplib::Request&, httplib::Response&)> handler) {
        server_.Get("/config/glyphwright_config_v2.plist", std::move(handler));
    }

    // Runs a download and waits for its completion; null on success.
    static std::exception_ptr download() {
        std::promise<std::exception_ptr> done;
        auto finished = done.get_future();
        ConfigFile::downloadLatestConfig([&done](std::exception_ptr error) { done.set_value(error); });
        EXPECT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        return finished.get();
    }

    static std::optional<ConfigFile::ConfigErrorCode> configErrorOf(const std::exception_ptr& error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const ConfigFile::ConfigError& configError) {
            return configError.code();
        } catch (...) {
        }
        return std::nullopt;
    }

    static std::string cachedContents() {
        return pf::files::fileExists(ConfigFile::cachedConfigURL().fsPath())
                   ? pf::files::readString(ConfigFile::cachedConfigURL().fsPath())
                   : std::string("<none>");
    }

    // An existing cached copy that later failures must leave alone.
    static std::string seedCache() {
        auto root = pf::plist::readFile(ConfigFile::bundleConfigURL().path());
        root.member("marker") = Value("old");
        pf::files::createDirectories(ConfigFile::cachedConfigURL().fsPath().parent_path());
        pf::files::writeAtomically(ConfigFile::cachedConfigURL().fsPath(), pf::plist::serialize(root));
        return cachedContents();
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::string bundleManifest_;
};

TEST_F(ManifestDownload, SuccessReplacesTheCachedCopyForTheNextBuild) {
    seedCache();
    auto served = pf::plist::parse(bundleManifest_);
    served.member("marker") = Value("new");
    const auto body = pf::stringFromData(pf::plist::serialize(served, pf::plist::Format::binary));
    std::string cacheControl;
    serve([&](const httplib::Request& request, httplib::Response& response) {
        cacheControl = request.get_header_value("Cache-Control");
        response.set_content(body, "application/octet-stream");
    });

    const auto before = ConfigFile();
    EXPECT_EQ(download(), nullptr);
    EXPECT_EQ(cacheControl, "no-cache");
    // Stored as an XML property list; an object made earlier keeps what it read.
    EXPECT_TRUE(cachedContents().starts_with("<?xml"));
    EXPECT_EQ(Value(ConfigFile().rootConfig())["marker"], Value("new"));
    EXPECT_EQ(Value(before.rootConfig())["marker"], Value("old"));
}

TEST_F(ManifestDownload, FirstDownloadCreatesTheApplicationSupportFolder) {
    std::filesystem::remove_all(ConfigFile::cachedConfigURL().fsPath().parent_path());
    serve([&](const httplib::Request&, httplib::Response& response) {
        response.set_content(bundleManifest_, "application/xml");
    });
    EXPECT_EQ(download(), nullptr);
    EXPECT_EQ(pf::plist::parse(cachedContents()), pf::plist::parse(bundleManifest_));
}

TEST_F(ManifestDownload, NotFoundLeavesTheCacheUntouched) {
    const auto cached = seedCache();
    serve([](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("missing", "text/plain");
    });
    EXPECT_EQ(configErrorOf(download()), ConfigFile::ConfigErrorCode::unexpectedStatusCode);
    EXPECT_EQ(cachedContents(), cached);
}

TEST_F(ManifestDownload, BrokenBodiesLeaveTheCacheUntouched) {
    const auto cached = seedCache();
    std::string body;
    serve([&](const httplib::Request&, httplib::Response& response) { response.set_content(body, "application/xml"); });

    // Not a property list at all: the reader's error passes on.
    body = bundleManifest_.substr(0, bundleManifest_.size() / 2);
    auto error = download();
    ASSERT_NE(error, nullptr);
    EXPECT_THROW(std::rethrow_exception(error), pf::Error);
    EXPECT_EQ(cachedContents(), cached);

    // A property list whose root is not a dictionary.
    body = pf::stringFromData(pf::plist::serialize(Value::array({"a"})));
    EXPECT_EQ(configErrorOf(download()), ConfigFile::ConfigErrorCode::unrecognisedTypeOfDictionary);
    EXPECT_EQ(cachedContents(), cached);

    // A dictionary whose entries would stop every later build.
    auto damaged = pf::plist::parse(bundleManifest_);
    damaged.member("assetManifests").asDictionary()->erase("tvOSDashboard");
    body = pf::stringFromData(pf::plist::serialize(damaged));
    EXPECT_EQ(configErrorOf(download()), ConfigFile::ConfigErrorCode::unrecognisedDictionaryContents);
    EXPECT_EQ(cachedContents(), cached);

    damaged = pf::plist::parse(bundleManifest_);
    (*damaged.member("assetManifests").asDictionary())["iosIcon"].member("filename") = Value(3);
    body = pf::stringFromData(pf::plist::serialize(damaged));
    EXPECT_EQ(configErrorOf(download()), ConfigFile::ConfigErrorCode::unrecognisedDictionaryContents);
    EXPECT_EQ(cachedContents(), cached);
}

TEST_F(ManifestDownload, InterruptedTransferLeavesTheCacheUntouched) {
    const auto cached = seedCache();
    const auto body = bundleManifest_;
    // The server thread may still be sending when the test ends: it keeps its own copy.
    serve([body](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(body.size(), "application/xml",
                                      [body](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset > 0) return false;  // drop the connection halfway
                                          sink.write(body.data(), body.size() / 2);
                                          return true;
                                      });
    });
    auto error = download();
    ASSERT_NE(error, nullptr);
    try {
        std::rethrow_exception(error);
    } catch (const pf::Error& transport) {
        EXPECT_EQ(transport.domain(), platform::network::kURLErrorDomain);
        EXPECT_EQ(transport.code(), static_cast<int>(platform::network::URLErrorCode::networkConnectionLost));
    }
    EXPECT_EQ(cachedContents(), cached);
}

TEST_F(ManifestDownload, WithoutADownloadLocationTheRefreshIsSkipped) {
    const auto cached = seedCache();
    pf::Bundle::setMain(std::make_unique<pf::Bundle>(std::filesystem::path(GW_SOURCE_DIR) / "resources"));
    EXPECT_FALSE(ConfigFile::downloadURL().has_value());
    auto error = download();
    ASSERT_NE(error, nullptr);
    EXPECT_THROW(std::rethrow_exception(error), pf::Error);
    EXPECT_EQ(cachedContents(), cached);

    useDownloadFolder("file:///etc/");
    EXPECT_FALSE(ConfigFile::downloadURL().has_value());
    useDownloadFolder("https://example.invalid/manifests/");
    EXPECT_EQ(ConfigFile::downloadURL()->absoluteString(),
              "https://example.invalid/manifests/glyphwright_config_v2.plist");
}

}  // namespace
