// libFuzzer target: the watch page's API as plain functions (handlePlantRequest with its one PLC
// named "plc", so /api/plc/plc/... reaches it too; the event stream's opening and refresh), with
// arbitrary methods, paths, query strings and bodies. The address parser and the JSON reading run
// behind it.
//
// Input layout:
//   byte 0      bits 0-1 the method (GET, PUT, POST, DELETE); bit 2 strict blocks; bit 3 a token
//               is asked for; bit 4 read-only
//   then        text up to the first newline: the path with its query ("/api/watch?addr=MW2")
//   the rest    the request body
//
// Besides the sanitizers, every input is checked for:
//   - the reply: a status of 200-499; an API reply's body is JSON (but a program's source,
//     which is text), an error's {"error": text};
//   - nothing written by a refused request: the memory is compared before and after;
//   - a read-only server and a refused token write nothing whatever the request.
#include "http/event_stream.h"
#include "http/http_api.h"
#include "memory/data_block_table.h"
#include "memory/process_image.h"
#include "plc/cpu_profile.h"
#include "plc/plc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

// The PLC every request addresses: an S7-300 with small areas, its blocks set up anew for each
// input (fault rules added over HTTP stay, as on a running server).
Plc plc;

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "http fuzzer: %s\n", why.c_str());
    std::abort();
}

// Splits "a=1&b=2" as a browser encodes it, without percent-decoding (the library decodes; any
// bytes may arrive here).
QueryParameters splitQuery(std::string_view query) {
    QueryParameters parameters;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        parameters.emplace_back(std::string(pair.substr(0, equals)),
                                equals == std::string_view::npos
                                    ? std::string()
                                    : std::string(pair.substr(equals + 1)));
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    }
    return parameters;
}

std::vector<std::uint8_t> memorySnapshot() {
    DataBlockTable &blocks = plc.memory.blocks;
    std::vector<std::uint8_t> all;
    for (std::size_t number = nextExistingDataBlock(blocks, 0); number < dataBlockCount;
         number = nextExistingDataBlock(blocks, number + 1)) {
        const std::span<std::uint8_t> block = findDataBlock(blocks, number);
        all.push_back(static_cast<std::uint8_t>(number));
        all.insert(all.end(), block.begin(), block.end());
    }
    for (const MemoryArea area : fixedAreas) {
        const std::span<std::uint8_t> bytes = processArea(plc.memory.areas, area);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // Writes are logged to stdout; libFuzzer reports on stderr.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    plc.cpu.profile = findCpuProfile("s7-300");
    // A downloaded program that loops or allocates at its top level is cut off soon, so such
    // inputs cost the fuzzer little time.
    plc.program.setup.maxCycleMs = 10;
    plc.program.setup.memoryMb = 8;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t options = data[0];
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::size_t newline = text.find('\n');
    const std::string_view target = text.substr(0, newline);
    const std::string_view body =
        newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);

    plc.memory.blocks = DataBlockTable{};
    configureProcessImage(plc.memory.areas, {64, 64, 64, 16, 16});
    const std::vector<std::uint8_t> start(16, 0x5A);
    declareDataBlock(plc.memory.blocks, 1, 64, start);
    declareDataBlock(plc.memory.blocks, 20, 16, start);
    if ((options & 0x04) != 0) {
        fixDataBlocks(plc.memory.blocks);
    }
    const bool tokenAsked = (options & 0x08) != 0;
    const bool readOnly = (options & 0x10) != 0;
    const HttpAccess access{tokenAsked ? "secret" : "", readOnly};

    constexpr std::string_view methods[] = {"GET", "PUT", "POST", "DELETE"};
    HttpRequest request{};
    request.method = methods[options & 0x03];
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string_view::npos) {
        request.query = splitQuery(target.substr(question + 1));
    }
    request.body = body;
    request.bodyTooLarge = body.size() > largestBodyFor(request.method, request.path);

    const std::vector<std::uint8_t> before = memorySnapshot();
    const HttpPlant plant = makeHttpPlant({&plc});
    const HttpReply reply = handlePlantRequest(plant, access, request).reply;
    if (reply.status < 200 || reply.status > 499) {
        fail("status " + std::to_string(reply.status));
    }
    const bool api = request.path.starts_with("/api/");
    const bool sourceText = reply.status == 200 && reply.contentType.starts_with("text/plain");
    if (api && !reply.eventStream && !sourceText) {
        const auto parsed = nlohmann::json::parse(reply.body, nullptr, false);
        if (parsed.is_discarded()) {
            fail("reply is not JSON: " + reply.body);
        }
        if (reply.status >= 400 && !(parsed.contains("error") && parsed["error"].is_string())) {
            fail("error without text: " + reply.body);
        }
    }
    const bool mayWrite = reply.status < 300 && !readOnly && request.method != "GET";
    if (!mayWrite && memorySnapshot() != before) {
        fail("memory changed by a request answered " + std::to_string(reply.status));
    }
    if (reply.eventStream) {
        EventStream stream = openEventStream(plc, access, request, 0);
        refreshEventStream(plc, access, stream, eventRefreshMicros);
        std::string out(4096, '\0');
        while (hasEventBytes(stream)) {
            takeEventBytes(stream, out.data(), out.size());
        }
    }
    return 0;
}
