#pragma once
// Shared helpers for the GUI-free tests: a recorder for the host hooks and a fixture that puts the
// program-wide state back to program start and installs the virtual clock.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "boot/Clock.h"
#include "boot/HostHooks.h"

struct TRecorder {
    std::vector<std::string> lines;  // the log as the window would show it
    std::vector<int64_t> progressMax;
    std::vector<int64_t> progressPos;
    std::vector<std::string> messages;
    std::vector<std::string> questions;  // yes/no questions asked, answered with answerYes
    bool answerYes = false;
    int clears = 0;
    int processCalls = 0;
    int connectedCalls = 0;

    THostHooks Hooks();
    // Lines with trailing blanks removed (status lines are padded to 47 columns).
    std::vector<std::string> Trimmed() const;
    bool Contains(const std::string& trimmedLine) const;
};

class TProgramTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TVirtualClock clock;
    TRecorder rec;
};

std::string TrimRight(const std::string& s);
std::string TestDataPath(const std::string& relative);
