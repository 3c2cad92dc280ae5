#include <gtest/gtest.h>

#include "tool_run.h"

TEST(Smoke, EmptyInputEndsWithZero) {
    tool_result r = run_tool({}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_preamble(r.out), "Input: 0 files, processing ...\n");
    EXPECT_EQ(r.err, "");
}

TEST(Smoke, ShimFailsTmpfile) {
    tool_result r = run_tool({}, "", {.faults = "tmpfile:*:EIO"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "could not open temporary file, exiting\n");
}
