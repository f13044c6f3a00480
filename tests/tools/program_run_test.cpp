// The tests' way of running a program (tests/support/program_run): past its deadline a program
// that still makes progress runs on, as on a busy machine; one that makes none (stopped here)
// is ended and the test fails saying so.
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

class ProgramRunDeadline : public ::testing::Test {
protected:
    gwtest::ProgramOptions options(std::chrono::seconds deadline, std::chrono::seconds stall) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = dir_.path();
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "out.txt";
        options.errFile = dir_ / "err.txt";
        options.deadline = deadline;
        options.stall = stall;
        return options;
    }

    gwtest::TempDir dir_;
};

TEST_F(ProgramRunDeadline, AProgramStillWorkingPastItsDeadlineRunsToItsEnd) {
    // Counts for a few seconds of processor time (on an idle machine), every two of them
    // past a deadline of none asked whether it still works.
    const auto run = gwtest::runProgram("/bin/sh", {"-c", "i=0; while [ $i -lt 3000000 ]; do i=$((i+1)); done; echo $i"},
                                        options(std::chrono::seconds(0), std::chrono::seconds(2)));
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "3000000\n");
}

TEST_F(ProgramRunDeadline, AProgramThatStopsIsEndedPastItsDeadline) {
    gwtest::ProgramRun run;
    EXPECT_NONFATAL_FAILURE(
        run = gwtest::runProgram("/bin/sh", {"-c", "kill -STOP $$"}, options(std::chrono::seconds(1), std::chrono::seconds(1))),
        "the program did not end: past its deadline of 1 s it made no progress for 1 s");
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.status, -1);
}

}  // namespace
