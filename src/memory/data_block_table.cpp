#include "memory/data_block_table.h"

#include <algorithm>
#include <cstring>

namespace {

// A slot looked at, never made: a lookup of a block that does not exist costs no chunk.
const DataBlock &readSlot(const DataBlockTable &table, std::size_t dbNumber) {
    return table.slots[dbNumber];
}

std::span<std::uint8_t> viewOf(const DataBlock &block) {
    return {block.bytes.get(), block.size};
}

void markChanged(DataBlockTable &table, DataBlock &block) {
    if (!block.changed) {
        block.changed = true;
        table.changedCount += 1;
    }
}

bool createBlock(DataBlockTable &table, DataBlock &block, std::size_t size) {
    auto *bytes = static_cast<std::uint8_t *>(std::calloc(size, 1));
    if (bytes == nullptr) {
        return false;
    }
    block.bytes.reset(bytes);
    block.size = static_cast<std::uint16_t>(size);
    markChanged(table, block);
    return true;
}

bool growBlock(DataBlockTable &table, DataBlock &block, std::size_t newSize) {
    // realloc leaves the old block untouched when it fails, so nothing is lost.
    auto *bytes = static_cast<std::uint8_t *>(std::realloc(block.bytes.get(), newSize));
    if (bytes == nullptr) {
        return false;
    }
    static_cast<void>(block.bytes.release()); // realloc took it over
    std::memset(bytes + block.size, 0, newSize - block.size);
    block.bytes.reset(bytes);
    block.size = static_cast<std::uint16_t>(newSize);
    markChanged(table, block);
    return true;
}

bool insideBlock(const DataBlock &block, std::size_t byteCount, std::size_t byteOffset) {
    return block.bytes != nullptr && byteOffset <= block.size &&
           byteCount <= block.size - byteOffset;
}

} // namespace

bool dataBlockRangeAllowed(std::size_t byteCount, std::size_t byteOffset) {
    return byteCount <= largestDataBlock && byteOffset <= largestDataBlock &&
           byteOffset + byteCount + growthSlack <= largestDataBlock;
}

bool dataBlockServed(const DataBlockTable &table, std::size_t dbNumber) {
    return dbNumber < dataBlockCount &&
           (!table.fixed || readSlot(table, dbNumber).bytes != nullptr);
}

bool dataBlockRangeServed(const DataBlockTable &table, std::size_t dbNumber, std::size_t byteCount,
                          std::size_t byteOffset) {
    if (dbNumber >= dataBlockCount) {
        return false;
    }
    if (table.fixed) {
        return insideBlock(readSlot(table, dbNumber), byteCount, byteOffset);
    }
    return dataBlockRangeAllowed(byteCount, byteOffset);
}

std::span<std::uint8_t> acquireDataBlock(DataBlockTable &table, std::size_t byteCount,
                                         std::size_t dbNumber, std::size_t byteOffset) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    if (table.fixed) {
        const DataBlock &fixed = readSlot(table, dbNumber);
        return insideBlock(fixed, byteCount, byteOffset) ? viewOf(fixed)
                                                         : std::span<std::uint8_t>{};
    }
    DataBlock &block = table.slots[dbNumber];
    // The block comes into being even when the range is then refused.
    if (block.bytes == nullptr && !createBlock(table, block, initialSizeS7)) {
        return {};
    }
    if (!dataBlockRangeAllowed(byteCount, byteOffset)) {
        return {};
    }
    const std::size_t need = byteOffset + byteCount;
    if (need > block.size && !growBlock(table, block, need + growthSlack)) {
        return {};
    }
    return viewOf(block);
}

std::span<std::uint8_t> ensureDataBlock(DataBlockTable &table, std::size_t dbNumber) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    if (table.fixed) {
        return viewOf(readSlot(table, dbNumber));
    }
    DataBlock &block = table.slots[dbNumber];
    if (block.bytes == nullptr && !createBlock(table, block, initialSizeS5)) {
        return {};
    }
    return viewOf(block);
}

bool declareDataBlock(DataBlockTable &table, std::size_t dbNumber, std::size_t size,
                      std::span<const std::uint8_t> content) {
    if (dbNumber >= dataBlockCount || size == 0 || size > largestDataBlock ||
        content.size() > size) {
        return false;
    }
    DataBlock &block = table.slots[dbNumber];
    auto *bytes = static_cast<std::uint8_t *>(std::calloc(size, 1));
    if (bytes == nullptr) {
        return false; // the old block, if any, stays as it was
    }
    std::copy(content.begin(), content.end(), bytes);
    block.bytes.reset(bytes);
    block.size = static_cast<std::uint16_t>(size);
    markChanged(table, block);
    return true;
}

void fixDataBlocks(DataBlockTable &table) {
    table.fixed = true;
}

std::span<std::uint8_t> findDataBlock(DataBlockTable &table, std::size_t dbNumber) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    return viewOf(readSlot(table, dbNumber));
}

std::size_t nextExistingDataBlock(const DataBlockTable &table, std::size_t dbNumber) {
    while (dbNumber < dataBlockCount && table.slots[dbNumber].bytes == nullptr) {
        // A chunk never made holds no block: on to the next one.
        dbNumber = table.slots.chunkMade(dbNumber)
                       ? dbNumber + 1
                       : (dbNumber / dataBlockChunk + 1) * dataBlockChunk;
    }
    return std::min(dbNumber, dataBlockCount);
}

void markDataBlockChanged(DataBlockTable &table, std::size_t dbNumber) {
    if (dbNumber < dataBlockCount && readSlot(table, dbNumber).bytes != nullptr) {
        markChanged(table, table.slots[dbNumber]);
    }
}

bool dataBlockChanged(const DataBlockTable &table, std::size_t dbNumber) {
    return dbNumber < dataBlockCount && readSlot(table, dbNumber).changed;
}

void clearDataBlockChanged(DataBlockTable &table, std::size_t dbNumber) {
    if (dataBlockChanged(table, dbNumber)) {
        table.slots[dbNumber].changed = false;
        table.changedCount -= 1;
    }
}

bool anyDataBlockChanged(const DataBlockTable &table) {
    return table.changedCount > 0;
}
