#include "platform/foundation/host_facts.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <ctime>
#include <map>

namespace {

using platform::foundation::HostFacts;
using platform::foundation::HostFactsSources;

HostFactsSources sources(const std::filesystem::path& root, std::map<std::string, std::string> environment = {}) {
    return {root, [environment](const std::string& name) -> std::optional<std::string> {
                auto it = environment.find(name);
                if (it == environment.end()) return std::nullopt;
                return it->second;
            }};
}

std::string unameField(bool release) {
    utsname names{};
    uname(&names);
    return release ? names.release : names.sysname;
}

TEST(HostFactsTest, ReadsDmiAndOsReleaseFromTheRoot) {
    gwtest::TempDir root;
    gwtest::writeFile(root / "sys/class/dmi/id/product_name", "ThinkStation P3\n");
    gwtest::writeFile(root / "sys/class/dmi/id/sys_vendor", "Lenovo\n");
    gwtest::writeFile(root / "proc/device-tree/model", std::string("Board\0", 6));
    gwtest::writeFile(root / "etc/os-release",
                      "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                      "VERSION_ID=\"12\"\nID=debian\n");
    const HostFacts facts(sources(root.path()));
    EXPECT_EQ(facts.model(), "ThinkStation P3");
    EXPECT_EQ(facts.oemName(), "Lenovo");
    EXPECT_EQ(facts.osName(), "Debian GNU/Linux");
    EXPECT_EQ(facts.osVersion(), "12.0.0");
    EXPECT_EQ(facts.osBuild(), unameField(true));
}

TEST(HostFactsTest, MissingSourcesFallBackWithoutFailing) {
    gwtest::TempDir root;
    {
        // A container: no DMI, no device tree, no os-release.
        const HostFacts facts(sources(root.path()));
        EXPECT_EQ(facts.model(), "Unknown");
        EXPECT_EQ(facts.oemName(), "Unknown");
        EXPECT_EQ(facts.osName(), unameField(false));
        EXPECT_EQ(facts.osVersion(), "Unknown");
    }
    // A board with a device tree only, and os-release in its second place.
    gwtest::writeFile(root / "proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    gwtest::writeFile(root / "usr/lib/os-release", "NAME=Raspbian\nVERSION_ID='11.7'\n");
    const HostFacts facts(sources(root.path()));
    EXPECT_EQ(facts.model(), "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(facts.oemName(), "Unknown");
    EXPECT_EQ(facts.osName(), "Raspbian");
    EXPECT_EQ(facts.osVersion(), "11.7.0");

    for (const auto& [versionId, expected] : std::map<std::string, std::string>{
             {"1.2.3.4", "1.2.3"}, {"rolling", "Unknown"}, {"", "Unknown"}, {"22.04", "22.4.0"}}) {
        gwtest::writeFile(root / "etc/os-release", "NAME=X\nVERSION_ID=" + versionId + "\n");
        EXPECT_EQ(HostFacts(sources(root.path())).osVersion(), expected) << versionId;
    }
}

TEST(HostFactsTest, LocaleComesFromTheFirstVariableThatNamesALanguage) {
    gwtest::TempDir root;
    struct Case {
        std::map<std::string, std::string> environment;
        std::string expected;
    };
    const Case cases[] = {
        {{{"LANG", "sr_RS.UTF-8@latin"}}, "sr-Latn_RS"},
        {{{"LANG", "de_DE.UTF-8@euro"}}, "de_DE"},
        {{{"LANG", "en_GB.UTF-8"}}, "en_GB"},
        {{{"LANGUAGE", "fr:en_US"}, {"LANG", "de_CH.UTF-8"}}, "fr_CH"},
        {{{"LANGUAGE", "pt_BR:pt"}, {"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}}, "pt_BR"},
        {{{"LC_ALL", "it_IT.UTF-8"}, {"LC_MESSAGES", "es_ES.UTF-8"}, {"LANG", "de_DE.UTF-8"}}, "it_IT"},
        {{{"LC_MESSAGES", "nl_NL"}, {"LANG", "de_DE"}}, "nl_NL"},
        {{{"LANG", "xx"}}, "xx"},
        {{{"LANG", ""}}, "en_US"},
        {{{"LANG", "@"}}, "en_US"},
        {{{"LANG", "C"}}, "en_US"},
        {{{"LANG", "POSIX"}, {"LC_ALL", "C.UTF-8"}}, "en_US"},
        {{}, "en_US"},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (const auto& [name, value] : c.environment) trace += name + "=" + value + " ";
        SCOPED_TRACE(trace);
        EXPECT_EQ(HostFacts(sources(root.path(), c.environment)).localeIdentifier(), c.expected);
    }
}

TEST(HostFactsTest, TimeZoneOffsetFollowsTZInMinutesEastOfUtc) {
    const std::time_t now = 1'700'000'000;
    struct Case {
        std::optional<std::string> tz;
        int minutes;
    };
    // POSIX TZ counts hours west of UTC, so "XXX-5:30" is five and a half hours east.
    const Case cases[] = {{"XXX-5:30", 330}, {"XXX+3:30", -210}, {"UTC0", 0}, {"Nowhere/Unknown", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz.value_or("(unset)"));
        gwtest::ScopedEnv tz("TZ", c.tz);
        EXPECT_EQ(HostFacts::timeZoneOffsetMinutes(now), c.minutes);
    }
    tzset();
}

}  // namespace
