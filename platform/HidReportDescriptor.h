#pragma once
// What the transport needs from a HID report descriptor: the output report length as a Windows host
// would state it (largest output report plus the ID byte) and whether reports carry an ID byte on the
// wire. hidapi 0.13 gives neither, so the descriptor is parsed here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t HidMaxDescriptorSize = 4096; // the kernel never hands out more

struct TReportDescriptorInfo {
    bool usesReportIds = false;
    uint16_t outputReportLength = 0; // largest output report in bytes + 1; 0 when there is none
};

// False for an empty or malformed descriptor: an item running past the end, report ID 0 or above 255,
// push/pop out of balance or too deep, a report too long for a 16-bit length.
bool ParseReportDescriptor(const uint8_t* desc, size_t len, TReportDescriptorInfo& info);
bool ComputeOutputReportLength(const uint8_t* desc, size_t len, uint16_t& reportLength);

// "/dev/hidraw3" gives "hidraw3"; false for a path whose last part is not a hidraw node name, so that a
// path from outside can never lead the sysfs look-up elsewhere.
bool HidrawNodeName(const std::string& devicePath, std::string& name);
// Reads <sysfsRoot>/class/hidraw/<node>/device/report_descriptor.
bool ReadSysfsReportDescriptor(const std::string& sysfsRoot, const std::string& devicePath,
                               std::vector<uint8_t>& out);
