#include "s7/szl.h"

#include <array>
#include <string_view>

namespace {

// The lists answered. A list is asked for with one of its two indexes (the second is the one
// some clients send instead: python-snap7 asks 0x0131 and 0x0232 with index 0); the answer is the
// same for both.
struct SzlDefinition {
    std::uint16_t id;
    std::uint16_t index;
    std::uint16_t otherIndex;
    std::uint16_t recordLength;
    std::uint16_t recordCount;
};

constexpr std::uint16_t szlIdList = 0x0000;
constexpr std::uint16_t szlModuleIdentification = 0x0011;
constexpr std::uint16_t szlComponentIdentification = 0x001C;
constexpr std::uint16_t szlCommunicationCapabilities = 0x0131;
constexpr std::uint16_t szlProtectionLevel = 0x0232;
constexpr std::uint16_t szlOperatingMode = 0x0424;

// clang-format off
constexpr std::array<SzlDefinition, 6> szlLists = {{
    // id                            index   other  length  records
    {szlIdList,                      0x0000, 0x0000,  2,     6},
    {szlModuleIdentification,        0x0000, 0x0000, 28,     3},
    {szlComponentIdentification,     0x0000, 0x0000, 34,    10},
    {szlCommunicationCapabilities,   0x0001, 0x0000, 40,     1},
    {szlProtectionLevel,             0x0004, 0x0000, 40,     1},
    {szlOperatingMode,               0x0000, 0x0000, 20,     1},
}};
// clang-format on

// Module identification, 28 bytes a record:
//
//   0..1 index   2..21 order number (MLFB), blank-padded   22..23 module type (BGTyp)
//   24..25 and 26..27 versions (Ausbg, Ausbe)
//
// Records 0001 (module) and 0006 (basic hardware) carry the order number; 0007 (basic firmware)
// carries blanks and 'V' major, minor, patch in its last 4 bytes. snap7's GetOrderCode takes the
// version from the last 3 bytes of the whole list, so 0007 comes last.
constexpr std::array<std::uint16_t, 3> moduleRecordIndexes = {0x0001, 0x0006, 0x0007};
constexpr std::size_t mlfbOffset = 2;
constexpr std::size_t mlfbWidth = szlOrderNumberWidth;
constexpr std::size_t moduleTypeOffset = 22;
constexpr std::size_t versionOffset = 24;
constexpr std::uint16_t cpuModuleType = 0x00C0;
constexpr std::uint16_t hardwareVersion = 0x0004;
constexpr std::uint16_t hardwareRevision = 0x0001;
constexpr std::uint8_t firmwareVersionMark = 'V';

// Component identification, 34 bytes a record: index, then 32 bytes of text or figures. Clients
// read the texts by position from the first six records, so they come in the order 1, 2, 3, 4, 5,
// 7. Texts are padded with NULs, as a real CPU sends them and as the C-string clients (snap7)
// and python-snap7 (which strips NULs, not blanks) expect.
struct ComponentRecord {
    std::uint16_t index;
    std::size_t textWidth; // 0: the record holds figures
};
// clang-format off
constexpr std::array<ComponentRecord, 10> componentRecords = {{
    {0x0001, szlAsNameWidth},       // AS name
    {0x0002, szlModuleNameWidth},   // module name
    {0x0003, szlPlantIdWidth},      // plant identification
    {0x0004, 26},                   // copyright
    {0x0005, szlSerialNumberWidth}, // serial number
    {0x0007, 32},                   // module type name
    {0x0008, 32},                   // serial number of the memory card
    {0x0009,  0},                   // manufacturer and profile
    {0x000A, 26},                   // OEM identification
    {0x000B, 32},                   // location
}};
// clang-format on
constexpr std::size_t componentTextOffset = 2;
constexpr std::uint16_t siemensManufacturerId = 0x002A;
constexpr std::uint16_t cpuProfileId = 0xF600;

// Communication capabilities, index 0001, 40 bytes:
//
//   0..1 index   2..3 max PDU   4..5 max connections   6..9 MPI rate   10..13 bus rate
//   14..39 reserved
constexpr std::size_t capabilityPduOffset = 2;
constexpr std::size_t capabilityConnectionsOffset = 4;
constexpr std::size_t capabilityMpiRateOffset = 6;
constexpr std::size_t capabilityBusRateOffset = 10;
constexpr std::uint32_t mpiRate = 187'500;
constexpr std::uint32_t busRate = 12'000'000;

// Protection level, index 0004, 40 bytes: index, then the words sch_schal 1 (protection by the
// mode switch), sch_par 0 (no password), sch_rel 1 (valid level), bart_sch 2 (switch at RUN-P),
// anl_sch 0; the rest reserved.
constexpr std::array<std::uint16_t, 6> protectionWords = {0x0004, 0x0001, 0x0000,
                                                          0x0001, 0x0002, 0x0000};

// Operating mode, 20 bytes:
//
//   0..1 event (ereig)   2 0xFF (ae)   3 mode (bzu-id)   4..7 reserved   8..11 start info
//   12..19 time stamp (BCD date and time)
//
// The mode byte is exactly 08 (RUN) or 04 (STOP), previous mode 0: snap7's PlcStatus takes any
// other value for STOP, S7NetPlus reads the low nibble.
constexpr std::size_t modeEventOffset = 0;
constexpr std::size_t modeAeOffset = 2;
constexpr std::size_t modeOffset = 3;
constexpr std::size_t modeTimeOffset = 12;
constexpr std::uint16_t eventStartupToRun = 0x4302;
constexpr std::uint16_t eventStopByRequest = 0x4304;
constexpr std::uint8_t modeRun = 0x08;
constexpr std::uint8_t modeStop = 0x04;

static_assert(szlLists[0].recordCount == szlLists.size());
static_assert(szlLists[1].recordCount == moduleRecordIndexes.size());
static_assert(szlLists[2].recordCount == componentRecords.size());

const SzlDefinition *findDefinition(std::uint16_t id) {
    for (const SzlDefinition &definition : szlLists) {
        if (definition.id == id) {
            return &definition;
        }
    }
    return nullptr;
}

// The text cut to width, the rest of the field filled with fill.
void writeText(ByteBuffer out, std::size_t at, std::string_view text, std::size_t width,
               std::uint8_t fill) {
    for (std::size_t i = 0; i < width; ++i) {
        out[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : fill;
    }
}

void writeModuleRecord(const Cpu &cpu, std::size_t record, ByteBuffer out, std::size_t at) {
    const CpuIdentity identity = cpuIdentity(cpu);
    const std::uint16_t index = moduleRecordIndexes.at(record);
    writeU16be(out, at, index);
    writeU16be(out, at + moduleTypeOffset, cpuModuleType);
    if (index == 0x0007) {
        writeText(out, at + mlfbOffset, "", mlfbWidth, ' ');
        out[at + versionOffset] = firmwareVersionMark;
        out[at + versionOffset + 1] = identity.firmware[0];
        out[at + versionOffset + 2] = identity.firmware[1];
        out[at + versionOffset + 3] = identity.firmware[2];
        return;
    }
    writeText(out, at + mlfbOffset, identity.orderNumber, mlfbWidth, ' ');
    writeU16be(out, at + versionOffset, hardwareVersion);
    writeU16be(out, at + versionOffset + 2, hardwareRevision);
}

std::string_view componentText(const Cpu &cpu, std::uint16_t index) {
    const CpuIdentity identity = cpuIdentity(cpu);
    switch (index) {
    case 0x0001:
        return identity.asName;
    case 0x0002:
        return identity.moduleName;
    case 0x0003:
        return identity.plantId;
    case 0x0004:
        return identity.copyright;
    case 0x0005:
        return identity.serialNumber;
    case 0x0007:
        return identity.moduleTypeName;
    default:
        return {};
    }
}

void writeComponentRecord(const Cpu &cpu, std::size_t record, ByteBuffer out, std::size_t at) {
    const ComponentRecord &component = componentRecords.at(record);
    writeU16be(out, at, component.index);
    if (component.textWidth > 0) {
        writeText(out, at + componentTextOffset, componentText(cpu, component.index),
                  component.textWidth, 0x00);
        return;
    }
    writeU16be(out, at + componentTextOffset, siemensManufacturerId);
    writeU16be(out, at + componentTextOffset + 2, cpuProfileId);
}

void writeCapabilitiesRecord(const Cpu &cpu, ByteBuffer out, std::size_t at) {
    const CpuProfile &profile = *cpu.profile;
    writeU16be(out, at, 0x0001);
    writeU16be(out, at + capabilityPduOffset, profile.maxPduLength);
    writeU16be(out, at + capabilityConnectionsOffset,
               static_cast<std::size_t>(profile.connections));
    writeU32be(out, at + capabilityMpiRateOffset, mpiRate);
    writeU32be(out, at + capabilityBusRateOffset, busRate);
}

void writeProtectionRecord(ByteBuffer out, std::size_t at) {
    for (std::size_t i = 0; i < protectionWords.size(); ++i) {
        writeU16be(out, at + 2 * i, protectionWords[i]);
    }
}

void writeModeRecord(const Cpu &cpu, ByteBuffer out, std::size_t at) {
    const bool running = cpu.state == CpuRunState::run;
    writeU16be(out, at + modeEventOffset, running ? eventStartupToRun : eventStopByRequest);
    out[at + modeAeOffset] = 0xFF;
    out[at + modeOffset] = running ? modeRun : modeStop;
    writeBcdDateTime(out, at + modeTimeOffset, plcClockNow(cpu.clock));
}

} // namespace

SzlList findSzlList(std::uint16_t id, std::uint16_t index) {
    const SzlDefinition *definition = findDefinition(id);
    if (definition == nullptr) {
        return {SzlStatus::unknownId, 0, 0};
    }
    if (index != definition->index && index != definition->otherIndex) {
        return {SzlStatus::wrongIndex, 0, 0};
    }
    return {SzlStatus::found, definition->recordLength, definition->recordCount};
}

void writeSzlRecord(const Cpu &cpu, std::uint16_t id, std::size_t record, ByteBuffer out,
                    std::size_t at) {
    const SzlDefinition *definition = findDefinition(id);
    if (definition == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < definition->recordLength; ++i) {
        out[at + i] = 0; // reserved bytes and unset figures
    }
    switch (id) {
    case szlIdList:
        writeU16be(out, at, szlLists.at(record).id);
        return;
    case szlModuleIdentification:
        writeModuleRecord(cpu, record, out, at);
        return;
    case szlComponentIdentification:
        writeComponentRecord(cpu, record, out, at);
        return;
    case szlCommunicationCapabilities:
        writeCapabilitiesRecord(cpu, out, at);
        return;
    case szlProtectionLevel:
        writeProtectionRecord(out, at);
        return;
    case szlOperatingMode:
        writeModeRecord(cpu, out, at);
        return;
    default:
        return;
    }
}
