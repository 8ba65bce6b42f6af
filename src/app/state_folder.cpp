#include "app/state_folder.h"

#include "memory/memory_image.h"
#include "platform/platform.h"
#include "sim/demo_data.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

namespace {

std::string describe(int errorCode) {
    return platform::describeError(errorCode);
}

bool isDemoBlock(std::size_t number) {
    return number == demoBlockS7Order || number == demoBlockS5Order;
}

// Why an image of size bytes cannot be served as unit with these options, or an empty text.
std::string fitError(const Options &options, const ProcessImageSizes &sizes, ImageUnit unit,
                     std::size_t size) {
    const std::string held = "holds " + std::to_string(size) + " bytes";
    if (unit.area != MemoryArea::dataBlock) {
        const std::size_t expected = processAreaSize(sizes, unit.area);
        if (size == expected) {
            return {};
        }
        if (expected == 0) {
            return held + ", but this CPU has no " + unitText(unit);
        }
        return held + ", but the " + unitText(unit) + " are " + std::to_string(expected) + " bytes";
    }
    const std::string name = unitText(unit);
    if (size == 0 || size > largestDataBlock) {
        return held + "; a data block holds 1-65534";
    }
    if (options.strict) {
        const auto declared = std::find_if(
            options.dataBlocks.begin(), options.dataBlocks.end(),
            [unit](const DataBlockSetup &block) { return block.number == unit.number; });
        if (declared != options.dataBlocks.end()) {
            if (declared->image.size() != size) {
                return held + ", but " + name + " is declared with " +
                       std::to_string(declared->image.size());
            }
        } else if (options.demo && isDemoBlock(unit.number)) {
            if (size != initialSizeS5) {
                return held + ", but " + name + " is the demo's block of " +
                       std::to_string(initialSizeS5);
            }
        } else {
            return name + " is not declared, and with strict = true only declared blocks exist";
        }
    }
    if (options.demo && isDemoBlock(unit.number) && size < demoAnimatedBytes) {
        return held + ", but " + name + " is animated by the demo and needs at least " +
               std::to_string(demoAnimatedBytes) + " (or demo = false)";
    }
    return {};
}

// The unit a leftover temporary file of a save belongs to.
std::optional<ImageUnit> unfinishedSaveOf(std::string_view name) {
    if (!name.ends_with(temporarySuffix)) {
        return std::nullopt;
    }
    return imageUnitFromName(name.substr(0, name.size() - temporarySuffix.size()));
}

} // namespace

std::string readStateFolder(Options &options, bool prepare) {
    options.kept = KeptMemory{};
    const std::string &folder = options.stateFolder;
    if (folder.empty()) {
        return {};
    }
    platform::FolderListing listing = platform::listFolder(folder);
    if (listing.errorCode != 0) {
        if (!platform::isMissingError(listing.errorCode)) {
            return folder + ": cannot read the folder: " + describe(listing.errorCode);
        }
        options.kept.folderMissing = true;
        if (prepare) {
            // A plant's PLC keeps its memory in a folder of its own inside the state folder.
            if (const std::string parent = std::filesystem::path(folder).parent_path().string();
                !parent.empty()) {
                platform::createFolder(parent); // a failure shows in the folder's own creation
            }
            if (const int error = platform::createFolder(folder); error != 0) {
                return folder + ": cannot create the folder: " + describe(error);
            }
        }
        return {};
    }
    std::sort(listing.names.begin(), listing.names.end());
    const ProcessImageSizes sizes = processImageSizes(options);
    for (const std::string &name : listing.names) {
        if (unfinishedSaveOf(name)) {
            options.kept.unfinished.push_back(name);
            continue;
        }
        const std::optional<ImageUnit> unit = imageUnitFromName(name);
        if (!unit) {
            continue; // not ours
        }
        const std::string path = pathInFolder(folder, name);
        // One byte more than any image holds, so that a longer file shows as one.
        platform::FileRead read = platform::readFile(path, largestImageFile + 1);
        if (read.errorCode != 0) {
            return path + ": cannot read: " + describe(read.errorCode);
        }
        const ImageCheck check = checkImage(read.bytes, *unit);
        if (!check.ok) {
            return path + ": " + check.error;
        }
        if (const std::string error = fitError(options, sizes, *unit, check.content.size());
            !error.empty()) {
            return path + ": " + error;
        }
        read.bytes.erase(read.bytes.begin(), read.bytes.begin() + imageHeaderSize);
        options.kept.images.push_back({*unit, std::move(read.bytes)});
    }
    if (prepare) {
        for (const std::string &name : options.kept.unfinished) {
            const std::string path = pathInFolder(folder, name);
            if (const int error = platform::removeFile(path); error != 0) {
                return path + ": cannot remove this unfinished save: " + describe(error);
            }
        }
    }
    return {};
}
