// The system status lists (SZL) the real-CPU profiles answer, record by record. Clients read
// most records by position, so each list keeps the record length, count and order of a real CPU;
// figures and identity strings come from the PLC's CPU.
#pragma once

#include "base/bytes.h"
#include "plc/plc.h"

#include <cstddef>
#include <cstdint>

// The widths of the identity texts in their records; a longer text would be cut.
inline constexpr std::size_t szlOrderNumberWidth = 20;
inline constexpr std::size_t szlAsNameWidth = 24;
inline constexpr std::size_t szlModuleNameWidth = 24;
inline constexpr std::size_t szlPlantIdWidth = 32;
inline constexpr std::size_t szlSerialNumberWidth = 24;

enum class SzlStatus { found, unknownId, wrongIndex };

struct SzlList {
    SzlStatus status;
    std::uint16_t recordLength; // bytes per record (LENTHDR)
    std::uint16_t recordCount;  // N_DR
};

// The list for an SZL ID and index as a client asks for it.
SzlList findSzlList(std::uint16_t id, std::uint16_t index);

// Writes record number `record` (from 0) of a list that findSzlList found into out at `at`:
// exactly the list's record length.
void writeSzlRecord(const Cpu &cpu, std::uint16_t id, std::size_t record, ByteBuffer out,
                    std::size_t at);
