// Composing mail through the real xdg-mime and xdg-email, with the recorder as the mail
// program.
#include "platform/appkit/sharing_service.hpp"
#include "platform/foundation/url.hpp"
#include "support/desktop/desktop_recorder.hpp"

#include <gtest/gtest.h>

namespace {

using platform::appkit::SharingService;
namespace desktop = gwtest::desktop;

TEST(SharingServiceTest, ComposeMailIsOfferedOnlyWhenTheDesktopNamesAMailProgram) {
    desktop::DesktopRecorder recorder;
    desktop::ScopedPlainDesktop plain(recorder);
    EXPECT_EQ(SharingService::named(SharingService::Name::composeEmail), nullptr);
    plain.useRecorderAsMailHandler();
    EXPECT_NE(SharingService::named(SharingService::Name::composeEmail), nullptr);
}

TEST(SharingServiceTest, TheMailProgramGetsRecipientSubjectAndBodyIntact) {
    desktop::DesktopRecorder recorder;
    desktop::ScopedPlainDesktop plain(recorder);
    plain.useRecorderAsMailHandler();
    auto service = SharingService::named(SharingService::Name::composeEmail);
    ASSERT_NE(service, nullptr);
    service->recipients = {"help@example.com"};
    // Characters a shell or a URL would act on.
    service->subject = "App - Help, Support & Feedback $(touch x);";
    ASSERT_TRUE(service->perform({"Hi"}));
    ASSERT_TRUE(recorder.waitForInvocations(1));
    const auto args = recorder.invocations().at(0);
    ASSERT_EQ(args.size(), 1u);
    const auto url = platform::foundation::URL::fromString(args[0]);
    ASSERT_TRUE(url.has_value()) << args[0];
    EXPECT_EQ(url->scheme(), "mailto");
    EXPECT_EQ(url->path(), "help@example.com");
    ASSERT_TRUE(url->query().has_value());
    std::string subject, body;
    std::string query = *url->query();
    for (std::size_t start = 0; start <= query.size();) {
        auto end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const auto pair = query.substr(start, end - start);
        const auto eq = pair.find('=');
        const auto value = platform::foundation::percentDecode(pair.substr(eq + 1));
        if (pair.substr(0, eq) == "subject") subject = value;
        if (pair.substr(0, eq) == "body") body = value;
        start = end + 1;
    }
    EXPECT_EQ(subject, service->subject);
    EXPECT_EQ(body, "Hi");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "x"));
}

}  // namespace
