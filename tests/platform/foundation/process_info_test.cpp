// Process facts from /proc: stat lines with hostile names, a cut UTF-8 name, the tracer flag,
// and the real start time, parent and tracing of forked children.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/foundation/process_info.hpp"

using namespace platform::foundation;

namespace {

TEST(ProcessInfo, StatLinesKeepNamesWithParenthesesAndBlanks) {
    struct Case {
        const char* line;
        bool ok;
        const char* name;
        pid_t parent;
        unsigned long long start;
    } cases[] = {
        {"12 (bash) S 1 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 4321 1000 10", true, "bash", 1, 4321},
        {"12 (a) (b c) R 7 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 99 1000 10", true, "a) (b c", 7, 99},
        {"12 () S 3 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 5 1000 10", true, "", 3, 5},
        {"12 (short) S 1 2 3", false, "", 0, 0},
        {"no parentheses", false, "", 0, 0},
        {"12 (x) S notanumber 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 5", false, "", 0, 0},
    };
    for (const auto& c : cases) {
        const auto stat = parseProcStat(c.line);
        ASSERT_EQ(stat.has_value(), c.ok) << c.line;
        if (!stat) continue;
        EXPECT_EQ(stat->name, c.name);
        EXPECT_EQ(stat->parentProcessID, c.parent);
        EXPECT_EQ(stat->startTicks, c.start);
    }
}

TEST(ProcessInfo, AFakeProcTreeGivesACutNameStartTimeAndTracer) {
    const auto root = std::filesystem::temp_directory_path() / ("gw-proc-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "77");
    // 13 ASCII bytes, then the first two bytes of a three-byte character: the kernel's cut.
    std::ofstream(root / "77" / "stat") << "77 (abcdefghijklm\xE2\x82) S 5 77 77 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 "
                                        << 250 * sysconf(_SC_CLK_TCK) << " 1 1\n";
    std::ofstream(root / "77" / "status") << "Name:\tx\nTracerPid:\t99\n";
    std::ofstream(root / "stat") << "cpu 1 2 3\nbtime 1700000000\n";
    const auto facts = ProcessInfo::forProcess(77, root);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(facts->processName.value_or("(none)"), "abcdefghijklm");
    EXPECT_EQ(facts->parentProcessID, 5);
    EXPECT_EQ(facts->startTime.tv_sec, 1700000250);
    EXPECT_TRUE(facts->traced);
    EXPECT_FALSE(ProcessInfo::forProcess(78, root).has_value());
    std::filesystem::remove_all(root);
}

// A forked child reports its facts through a pipe: pid, parent, start time, traced flag.
struct ChildFacts {
    pid_t pid, parent;
    long start;
    int traced;
    char parent_name[32];
};

ChildFacts child_facts(bool trace_me) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (trace_me) ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ChildFacts out{};
        if (const auto facts = ProcessInfo::current()) {
            out.pid = facts->processID;
            out.parent = facts->parentProcessID;
            out.start = facts->startTime.tv_sec;
            out.traced = facts->traced;
            if (const auto parent = ProcessInfo::forProcess(facts->parentProcessID))
                std::snprintf(out.parent_name, sizeof out.parent_name, "%s", parent->processName.value_or("").c_str());
        }
        (void)!write(fds[1], &out, sizeof out);
        _exit(0);
    }
    close(fds[1]);
    ChildFacts out{};
    EXPECT_EQ(read(fds[0], &out, sizeof out), static_cast<ssize_t>(sizeof out));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    out.pid = out.pid == child ? out.pid : -out.pid;
    return out;
}

TEST(ProcessInfo, ForkedChildrenSeeTheirParentStartTimeAndTracer) {
    const std::time_t before = std::time(nullptr);
    const ChildFacts plain = child_facts(false);
    EXPECT_GT(plain.pid, 0);
    EXPECT_EQ(plain.parent, getpid());
    EXPECT_LE(std::labs(plain.start - static_cast<long>(before)), 2);
    EXPECT_EQ(plain.traced, 0);
    const auto self = ProcessInfo::current();
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(std::string(plain.parent_name), self->processName.value_or(""));

    const ChildFacts traced = child_facts(true);
    EXPECT_EQ(traced.traced, 1);
}

TEST(ProcessInfo, OperatingSystemVersionsFromVersionId) {
    struct Case {
        const char* id;
        bool ok;
        long major, minor, patch;
    } cases[] = {{"12", true, 12, 0, 0}, {"22.04", true, 22, 4, 0}, {"3.18.4", true, 3, 18, 4}, {"rolling", false, 0, 0, 0}};
    for (const auto& c : cases) {
        const auto v = parseOperatingSystemVersion(c.id);
        ASSERT_EQ(v.has_value(), c.ok) << c.id;
        if (!v) continue;
        EXPECT_EQ(v->major, c.major);
        EXPECT_EQ(v->minor, c.minor);
        EXPECT_EQ(v->patch, c.patch);
    }
}

}  // namespace
