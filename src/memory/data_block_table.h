// The controller's memory: data blocks DB0-DB2999, created zero-filled on first use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

inline constexpr std::size_t dataBlockCount = 3000;
inline constexpr std::size_t initialSizeS7 = 256;
inline constexpr std::size_t initialSizeS5 = 2048;
inline constexpr std::size_t growthSlack = 64;
inline constexpr std::size_t largestDataBlock = 65534;

// A block's bytes come from calloc and grow with realloc, which leaves the old bytes in place
// when the heap cannot supply more.
struct FreeBytes {
    void operator()(std::uint8_t *bytes) const { std::free(bytes); }
};

struct DataBlock {
    std::unique_ptr<std::uint8_t, FreeBytes> bytes; // none until the slot is first used
    std::uint16_t size = 0; // recorded size: exactly the bytes that may be touched
    bool changed = false;   // created, grown or written since the retained memory last took it
};

// A block number's slot, kept in chunks of 64 slots, each made when a slot in it is first
// written: a PLC with a few blocks keeps a chunk or two (1 KiB each) instead of all 3000 slots.
inline constexpr std::size_t dataBlockChunk = 64;
inline constexpr std::size_t dataBlockChunks =
    (dataBlockCount + dataBlockChunk - 1) / dataBlockChunk;

// What a slot in no chunk reads as: no block.
inline const DataBlock noDataBlock{};

class DataBlockSlots {
public:
    // The slot, its chunk made if need be.
    DataBlock &operator[](std::size_t number) {
        std::unique_ptr<Chunk> &chunk = chunks[number / dataBlockChunk];
        if (!chunk) {
            chunk = std::make_unique<Chunk>();
        }
        return (*chunk)[number % dataBlockChunk];
    }
    // The slot, or noDataBlock where no chunk was made; makes nothing.
    const DataBlock &operator[](std::size_t number) const {
        const std::unique_ptr<Chunk> &chunk = chunks[number / dataBlockChunk];
        return chunk ? (*chunk)[number % dataBlockChunk] : noDataBlock;
    }
    // Whether any slot from number's chunk on may hold a block.
    bool chunkMade(std::size_t number) const { return chunks[number / dataBlockChunk] != nullptr; }

private:
    using Chunk = std::array<DataBlock, dataBlockChunk>;
    std::array<std::unique_ptr<Chunk>, dataBlockChunks> chunks;
};

// The data blocks of one PLC. Heap blocks owned by the table: moving it moves them, and they go
// with it.
struct DataBlockTable {
    DataBlockSlots slots;
    bool fixed = false; // only the existing blocks, at their sizes: nothing is created or grown
    std::size_t changedCount = 0; // blocks whose changed flag is set
};

// For the S7 services: the block, created at 256 bytes and grown to hold byteOffset + byteCount
// (plus 64 bytes of slack). Empty when the range would take the block past 65534 bytes or the
// heap cannot supply it; the block then keeps its old contents and size.
std::span<std::uint8_t> acquireDataBlock(DataBlockTable &table, std::size_t byteCount,
                                         std::size_t dbNumber, std::size_t byteOffset);

// Whether acquireDataBlock can serve the range at all, whatever the block's present size.
bool dataBlockRangeAllowed(std::size_t byteCount, std::size_t byteOffset);

// For the S5 services and the demo data: the block as it is, created at 2048 bytes when the slot
// is empty. Empty only when the heap cannot supply a new block.
std::span<std::uint8_t> ensureDataBlock(DataBlockTable &table, std::size_t dbNumber);

// The block if it exists, without creating it.
std::span<std::uint8_t> findDataBlock(DataBlockTable &table, std::size_t dbNumber);

// The number of the first existing block at or above dbNumber, or dataBlockCount when there is
// none. Creates nothing.
std::size_t nextExistingDataBlock(const DataBlockTable &table, std::size_t dbNumber);

// Creates the block at exactly size bytes (1-65534): content at its start, zeros behind it. A
// block already there is replaced. False when the heap cannot supply it or the arguments are
// out of range.
bool declareDataBlock(DataBlockTable &table, std::size_t dbNumber, std::size_t size,
                      std::span<const std::uint8_t> content);

// From now on only the blocks that exist are served, as on a CPU whose
// program declares its blocks: no block is created, none grows, and a range past a block's end
// is refused (acquireDataBlock and ensureDataBlock return nothing for them).
void fixDataBlocks(DataBlockTable &table);

// Whether the block can be addressed at all: it exists, or blocks are created on demand.
bool dataBlockServed(const DataBlockTable &table, std::size_t dbNumber);

// Whether acquireDataBlock serves the range of the block: inside the block when the table is
// fixed, else as dataBlockRangeAllowed says.
bool dataBlockRangeServed(const DataBlockTable &table, std::size_t dbNumber, std::size_t byteCount,
                          std::size_t byteOffset);

// Change tracking for the retained memory. Creating or growing a block marks it by itself; every
// path that writes into a block's bytes marks it once it has written. A flag per block, so
// finding what to save never compares contents.
void markDataBlockChanged(DataBlockTable &table, std::size_t dbNumber);
bool dataBlockChanged(const DataBlockTable &table, std::size_t dbNumber);
void clearDataBlockChanged(DataBlockTable &table, std::size_t dbNumber);
// Whether any block is marked.
bool anyDataBlockChanged(const DataBlockTable &table);
