#include "cli/TStationBoards.h"

#include <algorithm>

std::vector<THidDevice> TStationBoards::Update(const std::vector<THidDevice>& present) {
    const auto onBusNow = [&present](const std::string& path) {
        return std::any_of(present.begin(), present.end(), [&path](const THidDevice& d) { return d.path == path; });
    };
    // A board that left is forgotten: when it comes back, it is a new arrival.
    std::erase_if(m_onBus, [&](const std::string& path) { return !onBusNow(path); });
    std::erase_if(m_waiting, [&](const THidDevice& d) { return !onBusNow(d.path); });
    std::vector<THidDevice> arrived;
    for (const THidDevice& d : present) {
        if (std::find(m_onBus.begin(), m_onBus.end(), d.path) != m_onBus.end()) continue;
        m_onBus.push_back(d.path);
        m_waiting.push_back(d);
        arrived.push_back(d);
    }
    return arrived;
}

THidDevice TStationBoards::Take() {
    THidDevice d = m_waiting.front();
    m_waiting.pop_front();
    return d;
}
