#include "plc/cpu_profile.h"

namespace {

// The classic figures are those of the original behaviour: one job at a time, a 480-byte PDU,
// slot 2, two clients. It has no areas of its own (every area is served from the data blocks).
// The families' figures are those of a typical CPU of each: a 315-2 PN/DP, a 416-3 PN/DP, a
// 1214C and a 1516-3 PN/DP.
// clang-format off
constexpr std::array<CpuProfile, 5> profiles = {{
    // name     behaviour              rack slots  PDU jobs  I bytes Q bytes M bytes  T     C  conns
    {"classic", CpuBehaviour::classic, 0, {2, 2}, 480,  1,       0,      0,      0,    0,    0,   2,
     {"", {0, 0, 0}, "", "", "", "", "", ""}},
    {"s7-300",  CpuBehaviour::realCpu, 0, {2, 2}, 240,  1,    2048,   2048,   2048,  256,  256,  16,
     {"6ES7 315-2EH14-0AB0", {3, 2, 6}, "CPU 315-2 PN/DP", "CPU 315-2 PN/DP", "plcdouble S7-300",
      "", "S C-PD3157102026", "Original Siemens Equipment"}},
    {"s7-400",  CpuBehaviour::realCpu, 0, {2, 3}, 480,  8,   16384,  16384,  16384, 2048, 2048,  64,
     {"6ES7 416-3ES07-0AB0", {7, 0, 3}, "CPU 416-3 PN/DP", "CPU 416-3 PN/DP", "plcdouble S7-400",
      "", "S C-PD4167102026", "Original Siemens Equipment"}},
    {"s7-1200", CpuBehaviour::realCpu, 0, {0, 1}, 240,  3,    1024,   1024,   8192,    0,    0,  16,
     {"6ES7 214-1AG40-0XB0", {4, 5, 0}, "CPU 1214C DC/DC/DC", "CPU 1214C DC/DC/DC",
      "plcdouble S7-1200", "", "S V-PD12147102026", "Original Siemens Equipment"}},
    {"s7-1500", CpuBehaviour::realCpu, 0, {0, 1}, 960,  8,   32768,  32768,  16384, 2048, 2048,  64,
     {"6ES7 516-3AN02-0AB0", {2, 9, 4}, "CPU 1516-3 PN/DP", "CPU 1516-3 PN/DP",
      "plcdouble S7-1500", "", "S V-PD15167102026", "Original Siemens Equipment"}},
}};
// clang-format on

std::string_view textOr(const std::optional<std::string> &text, std::string_view fallback) {
    return text ? std::string_view(*text) : fallback;
}

} // namespace

const CpuProfile *findCpuProfile(std::string_view name) {
    for (const CpuProfile &profile : profiles) {
        if (profile.name == name) {
            return &profile;
        }
    }
    return nullptr;
}

std::size_t cpuProfileCount() {
    return profiles.size();
}

const CpuProfile &cpuProfileAt(std::size_t index) {
    return profiles.at(index);
}

CpuIdentity identityWith(const CpuProfile &profile, const IdentityOverrides &overrides) {
    CpuIdentity identity = profile.identity;
    identity.orderNumber = textOr(overrides.orderNumber, identity.orderNumber);
    identity.moduleName = textOr(overrides.moduleName, identity.moduleName);
    identity.asName = textOr(overrides.asName, identity.asName);
    identity.plantId = textOr(overrides.plantId, identity.plantId);
    identity.serialNumber = textOr(overrides.serialNumber, identity.serialNumber);
    return identity;
}
