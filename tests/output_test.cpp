// The plug-in's lines reach standard output's file descriptor before the call
// that writes them returns: a host that reads the same descriptor (a log
// collector on a pipe, say) sees each line in time and in order. Standard
// output is a file here, so the C library buffers it fully: only the
// plug-in's own flushes can make the lines visible.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>

#include <json/value.h>

#include "support.h"

namespace {

using vx40test::reply;

// Runs `action` with descriptor 1 on a new temporary file and returns what the
// file held when `action` returned. The test flushes nothing in between.
std::string visible_on_return(const std::function<void()>& action)
{
    std::cout.flush();
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    const int saved = dup(1);
    dup2(fileno(file), 1);
    action();
    std::string seen;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n = 0; (n = pread(fileno(file), buf, sizeof buf, at)) > 0; at += n) {
        seen.append(buf, static_cast<std::size_t>(n));
    }
    // What a mutant left in the buffer goes to the file, not to the test log.
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(file);
    return seen;
}

using OutputTest = vx40test::DeviceTest;

TEST_F(OutputTest, ShortReplyAndRoundLinesAreFlushedAsWritten)
{
    dev_->RefreshStatus();
    EXPECT_EQ(visible_on_return([&] { reply(*dev_, 3, {}); }),
              "error in VX40_2A_41 expected len=128 actual len:3\n");
    reply(*dev_, 14, vx40test::pattern(7, 0));
    reply(*dev_, 30, vx40test::pattern(15, 0));
    dev_->pending_rules_.resize(2);
    EXPECT_EQ(visible_on_return([&] { reply(*dev_, 89, {}); }),
              "error in VX40_2A_46 expected len=90 actual len:89\n"
              "rvSize is 2\n");
}

// Each kind of settings line is, in one of these calls, the last line that
// the call writes, so no later flush can hide a missing one.
TEST_F(OutputTest, SettingsLinesAreFlushedAsWritten)
{
    dev_->data_id_ = 4;
    Json::Value mode1;
    mode1["appSetting"]["b_mode"] = 1;
    EXPECT_EQ(visible_on_return([&] { dev_->InitSetting(mode1); }), "InitSetting 4 b_mode_:1\n");

    Json::Value mode3;
    mode3["appSetting"]["b_mode"] = "3";
    EXPECT_EQ(visible_on_return([&] { dev_->InitSetting(mode3); }),
              "InitSetting 4 b_mode_:3\nhere 1\n");

    Json::Value empty;
    empty["thresholdSetting"] = Json::Value(Json::objectValue);
    EXPECT_EQ(visible_on_return([&] { dev_->InitSetting(empty); }), "here 1\nhere 2\n");

    Json::Value not_object;
    not_object["thresholdSetting"]["n"] = 5;
    EXPECT_EQ(visible_on_return([&] { dev_->InitSetting(not_object); }),
              "here 1\nhere 2\nhere n\n");

    Json::Value signal;
    signal["thresholdSetting"]["s"] = Json::Value(Json::objectValue);
    EXPECT_EQ(visible_on_return([&] { dev_->InitSetting(signal); }),
              "here 1\n"
              "here 2\n"
              "here s\n"
              "4 NMAlarmID is missing\n"
              "4 ID is missing\n"
              "4 SignalNumber is missing\n"
              "mobile:s:;;; level:0 value:0\n");
}

}  // namespace
