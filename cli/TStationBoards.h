#pragma once
// Which boards a station flashes: each board once for every time it arrives on the bus. A board that
// is still there after its run (a failed one, a bootloader that stays) is not taken again until it
// has left.

#include <deque>
#include <string>
#include <vector>

#include "usb/Hid.h"

class TStationBoards {
public:
    // present: the bootloaders on the bus now. Returns those that arrived since the last call; they
    // wait to be taken, in the order of their arrival.
    std::vector<THidDevice> Update(const std::vector<THidDevice>& present);
    bool Waiting() const { return !m_waiting.empty(); }
    // The board that has waited longest; it is not handed out again while it stays.
    THidDevice Take();

private:
    std::vector<std::string> m_onBus; // paths seen at the last update
    std::deque<THidDevice> m_waiting;
};
