#pragma once
// Packet builders shared by the virtual-target tests.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "boot/BL_Vars.h"
#include "sim/TVirtualTarget.h"

using TPacket = std::array<uint8_t, 64>;

inline TPacket Command(uint8_t code, uint32_t address = 0, uint16_t count = 0) {
    TPacket p{};
    p[0] = CommandMarker;
    p[1] = code;
    for (int i = 0; i < 4; ++i) p[2 + i] = static_cast<uint8_t>(address >> (8 * i));
    p[6] = static_cast<uint8_t>(count);
    p[7] = static_cast<uint8_t>(count >> 8);
    return p;
}

inline TPacket Filled(uint8_t value) {
    TPacket p;
    p.fill(value);
    return p;
}

inline std::optional<TPacket> TakeAnswer(TVirtualTarget& t) {
    TPacket a;
    if (!t.TakeAnswer(a.data())) return std::nullopt;
    return a;
}

// Hands reports to the target; each must be taken.
inline void Send(TVirtualTarget& t, const std::vector<TPacket>& packets) {
    for (const auto& p : packets) EXPECT_TRUE(t.Receive(p.data()));
}

// Enters boot mode and drops the answer, so that a test starts with an empty answer queue.
inline void EnterBootMode(TVirtualTarget& t) {
    t.Receive(Command(cmdEnterBootMode).data());
    TakeAnswer(t);
}
