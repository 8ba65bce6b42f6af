#include "memory/data_block_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

DataBlockTable dataBlockTable{};

namespace {

std::span<std::uint8_t> viewOf(const DataBlock &block) {
    return {block.bytes, block.size};
}

void markChanged(DataBlock &block) {
    if (!block.changed) {
        block.changed = true;
        dataBlockTable.changedCount += 1;
    }
}

bool createBlock(DataBlock &block, std::size_t size) {
    auto *bytes = static_cast<std::uint8_t *>(std::calloc(size, 1));
    if (bytes == nullptr) {
        return false;
    }
    block.bytes = bytes;
    block.size = static_cast<std::uint16_t>(size);
    markChanged(block);
    return true;
}

bool growBlock(DataBlock &block, std::size_t newSize) {
    // realloc leaves the old block untouched when it fails, so nothing is lost.
    auto *bytes = static_cast<std::uint8_t *>(std::realloc(block.bytes, newSize));
    if (bytes == nullptr) {
        return false;
    }
    std::memset(bytes + block.size, 0, newSize - block.size);
    block.bytes = bytes;
    block.size = static_cast<std::uint16_t>(newSize);
    markChanged(block);
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

bool dataBlockServed(std::size_t dbNumber) {
    return dbNumber < dataBlockCount &&
           (!dataBlockTable.fixed || dataBlockTable.slots[dbNumber].bytes != nullptr);
}

bool dataBlockRangeServed(std::size_t dbNumber, std::size_t byteCount, std::size_t byteOffset) {
    if (dbNumber >= dataBlockCount) {
        return false;
    }
    if (dataBlockTable.fixed) {
        return insideBlock(dataBlockTable.slots[dbNumber], byteCount, byteOffset);
    }
    return dataBlockRangeAllowed(byteCount, byteOffset);
}

std::span<std::uint8_t> acquireDataBlock(std::size_t byteCount, std::size_t dbNumber,
                                         std::size_t byteOffset) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    DataBlock &block = dataBlockTable.slots[dbNumber];
    if (dataBlockTable.fixed) {
        return insideBlock(block, byteCount, byteOffset) ? viewOf(block)
                                                         : std::span<std::uint8_t>{};
    }
    // The block comes into being even when the range is then refused.
    if (block.bytes == nullptr && !createBlock(block, initialSizeS7)) {
        return {};
    }
    if (!dataBlockRangeAllowed(byteCount, byteOffset)) {
        return {};
    }
    const std::size_t need = byteOffset + byteCount;
    if (need > block.size && !growBlock(block, need + growthSlack)) {
        return {};
    }
    return viewOf(block);
}

std::span<std::uint8_t> ensureDataBlock(std::size_t dbNumber) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    DataBlock &block = dataBlockTable.slots[dbNumber];
    if (block.bytes == nullptr && (dataBlockTable.fixed || !createBlock(block, initialSizeS5))) {
        return {};
    }
    return viewOf(block);
}

bool declareDataBlock(std::size_t dbNumber, std::size_t size,
                      std::span<const std::uint8_t> content) {
    if (dbNumber >= dataBlockCount || size == 0 || size > largestDataBlock ||
        content.size() > size) {
        return false;
    }
    DataBlock &block = dataBlockTable.slots[dbNumber];
    auto *bytes = static_cast<std::uint8_t *>(std::calloc(size, 1));
    if (bytes == nullptr) {
        return false; // the old block, if any, stays as it was
    }
    std::copy(content.begin(), content.end(), bytes);
    std::free(block.bytes);
    block.bytes = bytes;
    block.size = static_cast<std::uint16_t>(size);
    markChanged(block);
    return true;
}

void fixDataBlocks() {
    dataBlockTable.fixed = true;
}

std::span<std::uint8_t> findDataBlock(std::size_t dbNumber) {
    if (dbNumber >= dataBlockCount) {
        return {};
    }
    return viewOf(dataBlockTable.slots[dbNumber]);
}

std::size_t nextExistingDataBlock(std::size_t dbNumber) {
    while (dbNumber < dataBlockCount && dataBlockTable.slots[dbNumber].bytes == nullptr) {
        ++dbNumber;
    }
    return dbNumber;
}

void releaseDataBlocks() {
    for (DataBlock &block : dataBlockTable.slots) {
        std::free(block.bytes);
        block = DataBlock{nullptr, 0, false};
    }
    dataBlockTable.fixed = false;
    dataBlockTable.changedCount = 0;
}

void markDataBlockChanged(std::size_t dbNumber) {
    if (dbNumber < dataBlockCount && dataBlockTable.slots[dbNumber].bytes != nullptr) {
        markChanged(dataBlockTable.slots[dbNumber]);
    }
}

bool dataBlockChanged(std::size_t dbNumber) {
    return dbNumber < dataBlockCount && dataBlockTable.slots[dbNumber].changed;
}

void clearDataBlockChanged(std::size_t dbNumber) {
    if (dataBlockChanged(dbNumber)) {
        dataBlockTable.slots[dbNumber].changed = false;
        dataBlockTable.changedCount -= 1;
    }
}

bool anyDataBlockChanged() {
    return dataBlockTable.changedCount > 0;
}
