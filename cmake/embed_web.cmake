# Writes OUTPUT, a C++ file holding every file under WEB_DIR as bytes, and the table that
# src/http/web_assets.h declares. Run as a build step (cmake -P), so the page is part of the binary
# and needs nothing at run time.
#   cmake -DWEB_DIR=... -DOUTPUT=... -P embed_web.cmake
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${WEB_DIR}" "${WEB_DIR}/*")
list(SORT files)

set(types
    html "text/html; charset=utf-8" htm "text/html; charset=utf-8"
    js "text/javascript; charset=utf-8" mjs "text/javascript; charset=utf-8"
    css "text/css; charset=utf-8" json "application/json" svg "image/svg+xml"
    png "image/png" ico "image/x-icon" txt "text/plain; charset=utf-8" map "application/json"
    woff2 "font/woff2")

set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
    get_filename_component(extension "${name}" LAST_EXT)
    string(SUBSTRING "${extension}" 1 -1 extension)
    string(TOLOWER "${extension}" extension)
    list(FIND types "${extension}" found)
    if(found EQUAL -1)
        set(type "application/octet-stream")
    else()
        math(EXPR found "${found} + 1")
        list(GET types ${found} type)
    endif()
    file(READ "${WEB_DIR}/${name}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    # One 0x.. per byte, 16 to a line.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
    if(size EQUAL 0)
        set(bytes "0")
        set(size 0)
    endif()
    string(APPEND arrays "// ${name}\nconst std::uint8_t file${index}[] = {\n    ${bytes}};\n")
    string(APPEND table "    {\"/${name}\", \"${type}\", std::span<const std::uint8_t>(file${index}, ${size})},\n")
    math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}"
"// Generated from web/ by cmake/embed_web.cmake; do not edit.
#include \"http/web_assets.h\"

namespace {
${arrays}
const WebAsset assets[] = {
${table}};
} // namespace

std::span<const WebAsset> webAssets() {
    return assets;
}
")
