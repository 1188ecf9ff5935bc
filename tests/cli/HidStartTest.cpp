// list, info and flash on a system whose HID layer cannot start: each says so with the system's
// reason and exits 2, instead of "no HID devices found" (exit 0) or a usage error.

#include <gtest/gtest.h>

#include <string>

#include "cli/CliOptions.h"
#include "cli/FlashSession.h"
#include "platform/THidApiBackend.h"

namespace {

struct THidStartCase {
    TCommand command;
    const char* name;
};

class HidStartTest : public ::testing::TestWithParam<THidStartCase> {
protected:
    void SetUp() override {
        THidApiBackend::SetStartProc([](std::string& reason) {
            reason = "resolve DLL functions: The specified procedure could not be found.";
            return false;
        });
    }
    void TearDown() override { THidApiBackend::SetStartProc(nullptr); }
};

TEST_P(HidStartTest, SaysWhyAndExits2) {
    TCliOptions o;
    o.command = GetParam().command;
    o.file = std::string(QUARNEL_TEST_DATA) + "/hex/blink18.hex";
    ::testing::internal::CaptureStderr();
    const int code = o.command == TCommand::List ? RunList(o) : RunSession(o);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, ExitNoBootloader);
    EXPECT_NE(err.find("quarnel: the HID layer could not start: resolve DLL functions: The specified "
                       "procedure could not be found."),
              std::string::npos)
        << err;
}

INSTANTIATE_TEST_SUITE_P(Commands, HidStartTest,
                         ::testing::Values(THidStartCase{TCommand::List, "list"}, THidStartCase{TCommand::Info, "info"},
                                           THidStartCase{TCommand::Flash, "flash"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
