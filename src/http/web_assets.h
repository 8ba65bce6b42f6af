// The watch page's files, built into the program from the web/ folder (see cmake/embed_web.cmake),
// so the page works on a machine without internet and without the source tree.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

struct WebAsset {
    std::string_view path;        // as requested: "/index.html", "/app.js"
    std::string_view contentType; // from the file's extension
    std::span<const std::uint8_t> bytes;
};

std::span<const WebAsset> webAssets();
