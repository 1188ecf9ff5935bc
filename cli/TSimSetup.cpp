#include "cli/TSimSetup.h"

#include "usb/HIDinterface.h"

bool TSimSetup::Build(const TCliOptions& options, uint64_t startUs, std::string& error) {
    std::vector<TSimBoardSetup> boards;
    if (!BuildSimBoards(options, boards, error)) return false;
    // A board unplugged during a run is reported as on Linux: the transfer fails at once.
    m_backend.ReportUnplug(true);
    bool unplugged = false;
    for (const auto& b : boards) {
        TVirtualTarget& t = m_backend.AddTarget(b.profile);
        t.Faults() = b.faults;
        if (b.plugAfterMs) {
            t.Unplug();
            unplugged = true;
            m_plugAtUs.push_back(startUs + *b.plugAfterMs * 1000);
        } else {
            m_plugAtUs.push_back(std::nullopt);
        }
    }
    // The unplugging above is how the board starts, not an event of the run.
    if (unplugged) DispatchDeviceChanges();
    return true;
}

std::optional<uint64_t> TSimSetup::NextPlugUs() const {
    std::optional<uint64_t> next;
    for (const auto& at : m_plugAtUs)
        if (at && (!next || *at < *next)) next = at;
    return next;
}

int TSimSetup::PlugDue(uint64_t nowUs) {
    int n = 0;
    for (size_t i = 0; i < m_plugAtUs.size(); ++i) {
        if (m_plugAtUs[i] && *m_plugAtUs[i] <= nowUs) {
            m_plugAtUs[i].reset();
            m_backend.Target(i).Plug();
            ++n;
        }
    }
    return n;
}
