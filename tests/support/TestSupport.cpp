#include "session/ProgramState.h"
#include "support/TestSupport.h"

#include "boot/BL_Vars.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

THostHooks TRecorder::Hooks() {
    THostHooks h;
    h.appendLogLine = [this](const std::string& line) { lines.push_back(line); };
    h.clearLog = [this] {
        lines.clear();
        ++clears;
    };
    h.setProgressMax = [this](int64_t v) { progressMax.push_back(v); };
    h.setProgressPos = [this](int64_t v) { progressPos.push_back(v); };
    h.processMessages = [this] {
        ++processCalls;
        DispatchDeviceChanges();
    };
    h.showMessage = [this](const std::string& m) { messages.push_back(m); };
    h.askYesNo = [this](const std::string& q) {
        questions.push_back(q);
        return answerYes;
    };
    h.sessionConnected = [this] { ++connectedCalls; };
    return h;
}

std::string TrimRight(const std::string& s) {
    size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ') --n;
    return s.substr(0, n);
}

std::vector<std::string> TRecorder::Trimmed() const {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(TrimRight(l));
    return out;
}

bool TRecorder::Contains(const std::string& trimmedLine) const {
    for (const auto& l : lines)
        if (TrimRight(l) == trimmedLine) return true;
    return false;
}

void TProgramTest::SetUp() {
    ResetProgramState();
    SetClock(&clock);
    SetHostHooks(rec.Hooks());
}

void TProgramTest::TearDown() {
    SetHostHooks(THostHooks{});
    SetHidBackend(nullptr);
    SetClock(nullptr);
    ResetProgramState();
}

std::string TestDataPath(const std::string& relative) { return std::string(QUARNEL_TEST_DATA) + "/" + relative; }
