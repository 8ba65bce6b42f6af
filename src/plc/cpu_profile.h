// What a PLC answers as: the classic behaviour (the default) or a real CPU family. A profile is a
// table of figures; the services read their PLC's profile's figures instead of branching on its
// name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How the services behave. Classic keeps the original answers byte for byte (one PDU size,
// every area served from the data blocks, counts taken as bytes); realCpu answers as the
// profile's CPU family does.
enum class CpuBehaviour { classic, realCpu };

// Identity strings as the CPU reports them in its SZL records (padded with blanks there).
struct CpuIdentity {
    std::string_view orderNumber;         // MLFB, 20 characters at most
    std::array<std::uint8_t, 3> firmware; // V major.minor.patch
    std::string_view moduleName;          // e.g. "CPU 315-2 PN/DP"
    std::string_view moduleTypeName;
    std::string_view asName;
    std::string_view plantId;
    std::string_view serialNumber;
    std::string_view copyright;
};

struct CpuProfile {
    std::string_view name; // as given to --cpu
    CpuBehaviour behaviour;
    std::uint8_t acceptedRack;
    std::array<std::uint8_t, 2> acceptedSlots; // both the same when only one is accepted
    std::uint16_t maxPduLength;
    std::uint16_t maxParallelJobs;
    std::size_t inputBytes;  // I
    std::size_t outputBytes; // Q
    std::size_t flagBytes;   // M
    std::size_t timerCount;  // 0: the CPU has no S7 timers
    std::size_t counterCount;
    int connections; // clients served at once unless --connections says otherwise
    CpuIdentity identity;
};

// The profile named as on the command line ("classic", "s7-300", ...), or nullptr.
const CpuProfile *findCpuProfile(std::string_view name);

// Every profile, in the order the usage text lists them; the first is the default.
std::size_t cpuProfileCount();
const CpuProfile &cpuProfileAt(std::size_t index);

// Identity texts that replace the profile's (a configuration file's [identity]); those not set
// keep the profile's.
struct IdentityOverrides {
    std::optional<std::string> orderNumber;
    std::optional<std::string> moduleName;
    std::optional<std::string> asName;
    std::optional<std::string> plantId;
    std::optional<std::string> serialNumber;
};

// The identity the CPU reports: the profile's with the overrides applied. The views point into
// the profile table and into overrides, which must outlive it.
CpuIdentity identityWith(const CpuProfile &profile, const IdentityOverrides &overrides);
