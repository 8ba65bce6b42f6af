// libFuzzer target: the program loader and its first cycles, with arbitrary source text and
// arbitrary tag() addresses. The interpreter runs under the same watch as in the server (a small
// cycle limit and memory cap), so an input can fail but never crash or hang the process.
//
// Input layout:
//   byte 0      bit 0: the rest is one address, put into a program that reads and writes it
//               (tag(), .value both ways, on_write); otherwise the rest is the whole source.
//               Bit 1: strict blocks (DB1 of 16 bytes only).
//   the rest    the source or the address
//
// Besides the sanitizers, every input is checked for:
//   - a program that fails is marked so and says where (a line of 0 or more);
//   - a program that fails in a pass is in the error state, one that does not is running;
//   - the memory the program may not touch (DB1's bytes behind its 16 in strict mode) stays so.
#include "memory/data_block_table.h"
#include "memory/memory.h"
#include "memory/process_image.h"
#include "program/program.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "program fuzzer: %s\n", why.c_str());
    std::abort();
}

// The address as a Lua string literal, every byte escaped: any bytes reach tag() as they are.
std::string luaLiteral(std::string_view text) {
    std::string literal = "\"";
    for (const char c : text) {
        literal += "\\" + std::to_string(static_cast<unsigned char>(c));
    }
    return literal + "\"";
}

std::string addressProgram(std::string_view address) {
    const std::string literal = luaLiteral(address);
    return "local t = tag(" + literal +
           ")\n"
           "on_write(" +
           literal +
           ", function(v) t.value = v end)\n"
           "function cycle(dt_ms) t.value = t.value end\n";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // The program's log lines go to stdout; libFuzzer reports on stderr.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t options = data[0];
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    const bool strict = (options & 2) != 0;

    auto memory = std::make_unique<Memory>();
    configureProcessImage(memory->areas, {16, 16, 64, 16, 16});
    const std::uint8_t start[16] = {};
    declareDataBlock(memory->blocks, 1, 16, start);
    if (strict) {
        fixDataBlocks(memory->blocks);
    }

    ProgramRun run;
    run.setup = {"fuzz.lua", {}, 1, 20, 2};
    run.source = (options & 1) != 0 ? addressProgram(text) : std::string(text);
    run.setup.source = run.source;
    restartProgram(run);
    for (int pass = 0; pass < 3; ++pass) {
        const bool ok = programPass(run, *memory, true, pass * 1000);
        const ProgramState state = programState(run, true);
        if (ok != (state == ProgramState::running)) {
            fail("a pass's outcome and the program's state disagree");
        }
        if (!ok) {
            if (!run.faulted || run.fault.line < 0) {
                fail("a failed program is not marked as failed, or has no place");
            }
            break;
        }
    }
    if (strict && findDataBlock(memory->blocks, 1).size() != 16) {
        fail("a program grew a strict block");
    }
    return 0;
}
