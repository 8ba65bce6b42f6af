#include "program/program.h"

#include "core/log.h"
#include "memory/s7_address.h"
#include "platform/platform.h"
#include "program/function_blocks.h"

#include <lua.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Lua is the build compiled as C++ (Debian's liblua5.4-c++): its errors unwind as exceptions,
// so the destructors of the C++ values in the functions below run when a program's error passes
// through them.

namespace {

// The hook that watches the cycle time runs every this many virtual machine instructions.
constexpr int instructionsPerCheck = 1000;
constexpr std::size_t largestTagText = 63;
constexpr std::size_t mebibyte = std::size_t{1024} * 1024;

struct Tag {
    S7Address address;
    std::array<char, largestTagText + 1> text; // as the program wrote it, for messages
};

constexpr const char *tagTypeName = "plcdouble.tag";

struct WriteHandler {
    Tag tag;
    int function; // a reference in the registry
};

// One refused allocation, to tell Lua's retry after a full collection from a new request.
struct Refusal {
    const void *block = nullptr;
    std::size_t oldSize = 0;
    std::size_t newSize = 0;
    bool pending = false;
};

} // namespace

struct ProgramEngine {
    lua_State *state = nullptr;
    std::string file;      // for messages
    std::string chunkName; // "=" + file: Lua then names the file as it is
    Memory *memory = nullptr;
    // The run that owns this engine, for its settings and clock (it outlives the engine).
    const ProgramRun *run = nullptr;
    std::int64_t deadlineMicros = 0;
    std::size_t used = 0;
    std::size_t cap = 0;
    Refusal refusal;
    bool memoryExceeded = false;
    bool overrun = false;
    bool faultNoted = false;
    ProgramFault fault;
    int lastLine = 0; // the program's line the cycle watch last saw
    std::vector<WriteHandler> handlers;
    double dtMs = 0; // the argument of the cycle being run

    ProgramEngine() = default;
    ProgramEngine(const ProgramEngine &) = delete;
    ProgramEngine &operator=(const ProgramEngine &) = delete;
    ProgramEngine(ProgramEngine &&) = delete;
    ProgramEngine &operator=(ProgramEngine &&) = delete;
    ~ProgramEngine();
};

namespace {

ProgramEngine &engineOf(lua_State *state) {
    return **static_cast<ProgramEngine **>(lua_getextraspace(state));
}

void noteFault(ProgramEngine &engine, int line, std::string text) {
    if (!engine.faultNoted) {
        engine.faultNoted = true;
        engine.fault = {line, std::move(text)};
    }
}

// The name messages give the program: its file, or "program" for one downloaded without one.
std::string fileOf(const ProgramRun &run) {
    return run.setup.file.empty() ? std::string("program") : run.setup.file;
}

// ---- memory cap

// Where the program asked for the memory refused: Lua reports no place for a memory error.
void noteAllocationLine(ProgramEngine &engine) {
    lua_Debug where{};
    for (int level = 0; engine.state != nullptr && lua_getstack(engine.state, level, &where) != 0;
         ++level) {
        if (lua_getinfo(engine.state, "Sl", &where) != 0 && where.currentline > 0 &&
            engine.chunkName == where.source) {
            engine.lastLine = where.currentline;
            return;
        }
    }
}

void *allocate(void *context, void *block, std::size_t oldSize, std::size_t newSize) {
    ProgramEngine &engine = *static_cast<ProgramEngine *>(context);
    const std::size_t held = block != nullptr ? oldSize : 0; // without a block: a type tag
    if (newSize == 0) {
        engine.used -= held;
        std::free(block);
        return nullptr;
    }
    const std::size_t room = engine.cap - std::min(engine.cap, engine.used);
    const bool retry = engine.refusal.pending && engine.refusal.block == block &&
                       engine.refusal.oldSize == oldSize && engine.refusal.newSize == newSize;
    void *resized =
        newSize > held && newSize - held > room ? nullptr : std::realloc(block, newSize);
    if (resized == nullptr) {
        // Out of memory, unless Lua's retry after a full collection succeeds (below).
        engine.memoryExceeded = true;
        engine.refusal = {block, oldSize, newSize, true};
        noteAllocationLine(engine);
        return nullptr;
    }
    if (retry) {
        engine.memoryExceeded = false;
    }
    engine.refusal.pending = false;
    engine.used = engine.used - held + newSize;
    return resized;
}

// ---- cycle monitoring

bool isProgramSource(const ProgramEngine &engine, const lua_Debug &where) {
    return where.source != nullptr && engine.chunkName == where.source;
}

void watchCycle(lua_State *state, lua_Debug *where) {
    ProgramEngine &engine = engineOf(state);
    // Past the limit the place stays where it was found: a pcall in the program may take
    // the way out elsewhere.
    if (!engine.overrun && !engine.memoryExceeded && lua_getinfo(state, "Sl", where) != 0 &&
        where->currentline > 0 && isProgramSource(engine, *where)) {
        engine.lastLine = where->currentline;
    }
    const bool late = engine.overrun || platform::monotonicMicros() > engine.deadlineMicros;
    if (late || engine.memoryExceeded) {
        if (!engine.overrun && late) {
            engine.overrun = true;
        }
        // From now on every instruction fails, so a pcall in the program cannot hold on.
        lua_sethook(state, watchCycle, LUA_MASKCOUNT, 1);
        luaL_error(state, late ? "cycle time exceeded" : "memory past the program's cap");
    }
}

// From now on the step in the interpreter has max_cycle_ms.
void startCycleWatch(ProgramEngine &engine) {
    engine.deadlineMicros = platform::monotonicMicros() +
                            static_cast<std::int64_t>(engine.run->setup.maxCycleMs) * 1000;
    lua_sethook(engine.state, watchCycle, LUA_MASKCOUNT, instructionsPerCheck);
}

} // namespace

ProgramEngine::~ProgramEngine() {
    if (state != nullptr) {
        // Closing runs the program's finalizers: a runaway one is cut off as a cycle would be
        // (an error in a finalizer is only a warning, and the closing goes on).
        startCycleWatch(*this);
        lua_close(state); // frees through allocate, which counts into this engine
    }
}

void ProgramEngineDelete::operator()(ProgramEngine *engine) const {
    delete engine;
}

namespace {

// The line a message starts with when Lua put the file and line in front: "FILE:LINE: text".
bool splitPlace(std::string_view file, std::string_view message, int &line, std::string &text) {
    if (!message.starts_with(file) || message.size() <= file.size() ||
        message[file.size()] != ':') {
        return false;
    }
    std::size_t at = file.size() + 1;
    int number = 0;
    const std::size_t digitsAt = at;
    while (at < message.size() && message[at] >= '0' && message[at] <= '9' &&
           number < 100'000'000) {
        number = number * 10 + (message[at] - '0');
        ++at;
    }
    if (at == digitsAt || !message.substr(at).starts_with(": ")) {
        return false;
    }
    line = number;
    text = std::string(message.substr(at + 2));
    return true;
}

// The message handler of every call into the program: notes where and why it failed, while the
// failing function is still on the stack.
int noteError(lua_State *state) {
    ProgramEngine &engine = engineOf(state);
    if (engine.faultNoted) {
        return 1;
    }
    int line = 0;
    lua_Debug where{};
    for (int level = 1; lua_getstack(state, level, &where) != 0; ++level) {
        if (lua_getinfo(state, "Sl", &where) != 0 && where.currentline > 0 &&
            isProgramSource(engine, where)) {
            line = where.currentline;
            break;
        }
    }
    std::string text;
    if (lua_type(state, 1) == LUA_TSTRING) {
        std::size_t length = 0;
        const char *message = lua_tolstring(state, 1, &length);
        if (!splitPlace(engine.file, std::string_view(message, length), line, text)) {
            text.assign(message, length);
        }
    } else {
        text = std::string("error object is a ") + luaL_typename(state, 1) + " value";
    }
    noteFault(engine, line, std::move(text));
    return 1;
}

// ---- tags

std::span<std::uint8_t> areaBytes(Memory &memory, const S7Address &address) {
    if (address.area == MemoryArea::dataBlock) {
        return findDataBlock(memory.blocks, address.dbNumber);
    }
    return processArea(memory.areas, address.area);
}

std::string areaName(const S7Address &address) {
    return address.area == MemoryArea::dataBlock ? "DB" + std::to_string(address.dbNumber)
                                                 : std::string(areaWord(address.area));
}

Tag &checkTag(lua_State *state, int index) {
    return *static_cast<Tag *>(luaL_checkudata(state, index, tagTypeName));
}

// The address at index: a tag, or text in the notation of the configuration file.
S7Address addressArgument(lua_State *state, int index, std::array<char, largestTagText + 1> &text) {
    if (lua_type(state, index) == LUA_TUSERDATA) {
        const Tag &tag = checkTag(state, index);
        text = tag.text;
        return tag.address;
    }
    std::size_t length = 0;
    const char *given = luaL_checklstring(state, index, &length);
    if (length > largestTagText) {
        luaL_error(state, "address too long (%d characters)", static_cast<int>(length));
    }
    const AddressParse parsed =
        parseS7Address(std::string_view(given, length), AddressScope::anyArea);
    if (!parsed.ok) {
        luaL_error(state, "%s", parsed.error.c_str());
    }
    text.fill('\0');
    std::memcpy(text.data(), given, length);
    return parsed.address;
}

// Makes sure the tag's bytes exist: a data block is created or grown as a client's write would
// do it, unless the blocks are fixed.
void provideTagBytes(lua_State *state, Memory &memory, const S7Address &address, const char *text) {
    const std::size_t start = addressByteStart(address);
    const std::size_t width = addressByteWidth(address);
    if (address.area == MemoryArea::dataBlock) {
        if (!dataBlockRangeServed(memory.blocks, address.dbNumber, width, start) ||
            acquireDataBlock(memory.blocks, width, address.dbNumber, start).empty()) {
            luaL_error(state, "%s: not in DB%d as this PLC serves it", text,
                       static_cast<int>(address.dbNumber));
        }
        return;
    }
    const std::size_t size = processArea(memory.areas, address.area).size();
    if (size == 0) {
        luaL_error(state, "%s: this CPU has no %s", text,
                   std::string(areaWord(address.area)).c_str());
    }
    if (start > size || width > size - start) {
        luaL_error(state, "%s: past the end of the %s (%d bytes)", text,
                   std::string(areaWord(address.area)).c_str(), static_cast<int>(size));
    }
}

int makeTag(lua_State *state) {
    ProgramEngine &engine = engineOf(state);
    std::array<char, largestTagText + 1> text{};
    const S7Address address = addressArgument(state, 1, text);
    provideTagBytes(state, *engine.memory, address, text.data());
    auto *tag = static_cast<Tag *>(lua_newuserdatauv(state, sizeof(Tag), 0));
    *tag = Tag{address, text};
    luaL_setmetatable(state, tagTypeName);
    return 1;
}

std::span<std::uint8_t> tagBytes(lua_State *state, const Tag &tag) {
    const std::span<std::uint8_t> bytes = areaBytes(*engineOf(state).memory, tag.address);
    const std::size_t end = addressByteStart(tag.address) + addressByteWidth(tag.address);
    if (end > bytes.size()) {
        luaL_error(state, "%s: %s no longer holds it", tag.text.data(),
                   areaName(tag.address).c_str());
    }
    return bytes;
}

void pushTagValue(lua_State *state, const Tag &tag) {
    const ValueLoad load = loadS7Value(tag.address, tagBytes(state, tag));
    if (!load.ok) {
        luaL_error(state, "%s: %s", tag.text.data(), load.error.c_str());
    }
    if (const bool *flag = std::get_if<bool>(&load.value)) {
        lua_pushboolean(state, *flag ? 1 : 0);
    } else if (const std::int64_t *integer = std::get_if<std::int64_t>(&load.value)) {
        lua_pushinteger(state, static_cast<lua_Integer>(*integer));
    } else if (const double *real = std::get_if<double>(&load.value)) {
        lua_pushnumber(state, *real);
    } else {
        const std::string &text = std::get<std::string>(load.value);
        lua_pushlstring(state, text.data(), text.size());
    }
}

bool takesInteger(S7Type type) {
    switch (type) {
    case S7Type::boolType:
    case S7Type::realType:
    case S7Type::charType:
    case S7Type::stringType:
        return false;
    case S7Type::byteType:
    case S7Type::wordType:
    case S7Type::dwordType:
    case S7Type::sintType:
    case S7Type::usintType:
    case S7Type::intType:
    case S7Type::uintType:
    case S7Type::dintType:
    case S7Type::udintType:
    case S7Type::timerType:
    case S7Type::counterType:
        return true;
    }
    return false;
}

void storeTagValue(lua_State *state, const Tag &tag, int index) {
    StartValue value;
    std::size_t length = 0;
    switch (lua_type(state, index)) {
    case LUA_TBOOLEAN:
        value = lua_toboolean(state, index) != 0;
        break;
    case LUA_TNUMBER:
        if (lua_isinteger(state, index) != 0) {
            value = static_cast<std::int64_t>(lua_tointeger(state, index));
        } else if (int whole = 0; takesInteger(tag.address.type)) {
            // Arithmetic gives floats: 3.0 is the integer 3, 3.5 no integer at all.
            const lua_Integer integer = lua_tointegerx(state, index, &whole);
            if (whole == 0) {
                luaL_error(state, "%s: %s takes an integer, not %s", tag.text.data(),
                           s7TypeName(tag.address).c_str(), lua_tostring(state, index));
            }
            value = static_cast<std::int64_t>(integer);
        } else {
            value = static_cast<double>(lua_tonumber(state, index));
        }
        break;
    case LUA_TSTRING: {
        const char *text = lua_tolstring(state, index, &length); // sets length: read it after
        value = std::string_view(text, length);
        break;
    }
    default:
        luaL_error(state, "%s: cannot take a %s value", tag.text.data(),
                   luaL_typename(state, index));
    }
    Memory &memory = *engineOf(state).memory;
    const std::span<std::uint8_t> bytes = tagBytes(state, tag);
    if (const std::string problem = storeStartValue(tag.address, value, bytes); !problem.empty()) {
        luaL_error(state, "%s: %s", tag.text.data(), problem.c_str());
    }
    markMemoryChanged(memory, tag.address.area, tag.address.dbNumber); // not a client's write
}

bool keyIs(lua_State *state, int index, const char *name) {
    if (lua_type(state, index) != LUA_TSTRING) {
        return false; // a number key must not be turned into text in place
    }
    std::size_t length = 0;
    const char *key = lua_tolstring(state, index, &length);
    return key != nullptr && length == std::strlen(name) && std::memcmp(key, name, length) == 0;
}

int tagIndex(lua_State *state) {
    const Tag &tag = checkTag(state, 1);
    if (keyIs(state, 2, "value")) {
        pushTagValue(state, tag);
    } else if (keyIs(state, 2, "address")) {
        lua_pushstring(state, tag.text.data());
    } else {
        lua_pushnil(state);
    }
    return 1;
}

int tagNewIndex(lua_State *state) {
    const Tag &tag = checkTag(state, 1);
    if (lua_type(state, 2) != LUA_TSTRING || !keyIs(state, 2, "value")) {
        luaL_error(state, "%s: only .value can be assigned", tag.text.data());
    }
    storeTagValue(state, tag, 3);
    return 0;
}

int tagText(lua_State *state) {
    lua_pushfstring(state, "tag(%s)", checkTag(state, 1).text.data());
    return 1;
}

// ---- the other functions a program sees

int registerWriteHandler(lua_State *state) {
    ProgramEngine &engine = engineOf(state);
    std::array<char, largestTagText + 1> text{};
    const S7Address address = addressArgument(state, 1, text);
    luaL_checktype(state, 2, LUA_TFUNCTION);
    provideTagBytes(state, *engine.memory, address, text.data());
    engine.handlers.reserve(engine.handlers.size() + 1); // before the reference: no leak on throw
    lua_settop(state, 2);
    const int function = luaL_ref(state, LUA_REGISTRYINDEX);
    engine.handlers.push_back({Tag{address, text}, function});
    engine.memory->clientWrites.wanted = true;
    return 0;
}

int logLine(lua_State *state) {
    const int count = lua_gettop(state);
    luaL_Buffer line;
    luaL_buffinit(state, &line);
    for (int i = 1; i <= count; ++i) {
        if (i > 1) {
            luaL_addchar(&line, ' ');
        }
        luaL_tolstring(state, i, nullptr);
        luaL_addvalue(&line);
    }
    luaL_pushresult(&line);
    logMessage(attributeProgram, "%s %s", namedPrefix("program").text(), lua_tostring(state, -1));
    return 0;
}

int nowMs(lua_State *state) {
    const ProgramEngine &engine = engineOf(state);
    const ProgramRun &run = *engine.run;
    lua_pushnumber(state, static_cast<double>(run.lastPassMicros - run.originMicros) / 1000.0);
    return 1;
}

// ---- loading

void openLibraries(lua_State *state) {
    static constexpr std::array<std::pair<const char *, lua_CFunction>, 5> libraries = {{
        {LUA_GNAME, luaopen_base},
        {LUA_STRLIBNAME, luaopen_string},
        {LUA_TABLIBNAME, luaopen_table},
        {LUA_MATHLIBNAME, luaopen_math},
        {LUA_UTF8LIBNAME, luaopen_utf8},
    }};
    for (const auto &[name, open] : libraries) {
        luaL_requiref(state, name, open, 1);
        lua_pop(state, 1);
    }
    static constexpr std::array<luaL_Reg, 4> tagMethods = {{
        {"__index", tagIndex},
        {"__newindex", tagNewIndex},
        {"__tostring", tagText},
        {nullptr, nullptr},
    }};
    luaL_newmetatable(state, tagTypeName);
    luaL_setfuncs(state, tagMethods.data(), 0);
    lua_pushliteral(state, "tag");
    lua_setfield(state, -2, "__metatable"); // the program cannot take it apart
    lua_pop(state, 1);
    static constexpr std::array<luaL_Reg, 6> functions = {{
        {"tag", makeTag},
        {"on_write", registerWriteHandler},
        {"log", logLine},
        {"print", logLine}, // stdout is the log's, and never blocks the loop
        {"now_ms", nowMs},
        {nullptr, nullptr},
    }};
    lua_pushglobaltable(state);
    luaL_setfuncs(state, functions.data(), 0);
    lua_pop(state, 1);
}

// What a protected step is given: the source to load.
struct LoadStep {
    std::string_view source;
};

int loadStep(lua_State *state) {
    ProgramEngine &engine = engineOf(state);
    const auto &step = *static_cast<const LoadStep *>(lua_touserdata(state, 1));
    openLibraries(state);
    if (luaL_loadbufferx(state, functionBlocksSource.data(), functionBlocksSource.size(),
                         "=function blocks", "t") != LUA_OK) {
        return lua_error(state);
    }
    lua_call(state, 0, 0);
    if (luaL_loadbufferx(state, step.source.data(), step.source.size(), engine.chunkName.c_str(),
                         "t") != LUA_OK) {
        return lua_error(state);
    }
    lua_call(state, 0, 0);
    if (lua_getglobal(state, "cycle") != LUA_TFUNCTION) {
        return luaL_error(state, "the program has no function cycle(dt_ms)");
    }
    return 0;
}

int startupStep(lua_State *state) {
    if (lua_getglobal(state, "startup") == LUA_TNIL) {
        return 0; // optional
    }
    lua_call(state, 0, 0);
    return 0;
}

bool overlaps(const WrittenRange &range, const S7Address &address) {
    if (range.area != address.area ||
        (address.area == MemoryArea::dataBlock && range.dbNumber != address.dbNumber)) {
        return false;
    }
    const std::size_t start = addressByteStart(address);
    return range.start < start + addressByteWidth(address) && start < range.start + range.count;
}

bool written(const ClientWrites &writes, const S7Address &address) {
    return writes.overflowed ||
           std::any_of(writes.ranges.begin(), writes.ranges.end(),
                       [&](const WrittenRange &range) { return overlaps(range, address); });
}

// The handlers of the tags clients wrote, in the order they were registered, then the cycle.
int cycleStep(lua_State *state) {
    ProgramEngine &engine = engineOf(state);
    ClientWrites &writes = engine.memory->clientWrites;
    if (!writes.ranges.empty() || writes.overflowed) {
        // Taken before any handler runs: a handler registering another changes the list.
        std::vector<std::size_t> due;
        for (std::size_t i = 0; i < engine.handlers.size(); ++i) {
            if (written(writes, engine.handlers[i].tag.address)) {
                due.push_back(i);
            }
        }
        clearClientWrites(writes);
        for (const std::size_t i : due) {
            const WriteHandler handler = engine.handlers[i];
            lua_rawgeti(state, LUA_REGISTRYINDEX, handler.function);
            pushTagValue(state, handler.tag);
            lua_call(state, 1, 0);
        }
    }
    if (lua_getglobal(state, "cycle") != LUA_TFUNCTION) {
        return luaL_error(state, "the program has no function cycle(dt_ms)");
    }
    lua_pushnumber(state, engine.dtMs);
    lua_call(state, 1, 0);
    return 0;
}

// Runs one step in protected mode under the cycle watch. False when the program failed: the
// fault is noted in the engine.
bool runStep(ProgramEngine &engine, lua_CFunction step, void *argument) {
    lua_State *state = engine.state;
    engine.faultNoted = false;
    engine.overrun = false;
    engine.memoryExceeded = false;
    engine.refusal.pending = false;
    startCycleWatch(engine);
    lua_settop(state, 0);
    lua_pushcfunction(state, noteError);
    lua_pushcfunction(state, step);
    lua_pushlightuserdata(state, argument);
    const int status = lua_pcall(state, 1, 0, 1);
    const bool late = engine.overrun || platform::monotonicMicros() > engine.deadlineMicros;
    lua_settop(state, 0);
    // The cap and the cycle time win over whatever message the way out produced; a late step
    // may have been caught by the program's own pcall, or spent in one long library call.
    if (status == LUA_ERRMEM || engine.memoryExceeded) {
        engine.fault = {engine.lastLine, "memory past " + std::to_string(engine.cap / mebibyte) +
                                             " MiB (program_memory_mb)"};
        return false;
    }
    if (late) {
        engine.fault = {engine.lastLine, "cycle longer than " +
                                             std::to_string(engine.run->setup.maxCycleMs) +
                                             " ms (max_cycle_ms)"};
        return false;
    }
    if (status != LUA_OK) {
        noteFault(engine, engine.lastLine, "error in the error handler");
        return false;
    }
    return true;
}

using EngineHandle = std::unique_ptr<ProgramEngine, ProgramEngineDelete>;

struct NewEngine {
    EngineHandle engine;
    ProgramFault fault;
};

// "=FILE": Lua then names the file as it is. Built by copying, as GCC 12 at -O3 warns wrongly
// on joining a literal and a string here.
std::string chunkNameOf(std::string_view file) {
    std::string name(file.size() + 1, '=');
    std::copy(file.begin(), file.end(), name.begin() + 1);
    return name;
}

NewEngine newEngine(const ProgramRun &run, const std::string &source, Memory &memory) {
    EngineHandle engine(new ProgramEngine);
    engine->file = fileOf(run);
    engine->chunkName = chunkNameOf(engine->file);
    engine->cap = static_cast<std::size_t>(run.setup.memoryMb) * mebibyte;
    engine->memory = &memory;
    engine->run = &run;
    engine->state = lua_newstate(allocate, engine.get());
    if (engine->state == nullptr) {
        return {nullptr, {0, "no memory for the interpreter"}};
    }
    *static_cast<ProgramEngine **>(lua_getextraspace(engine->state)) = engine.get();
    LoadStep step{source};
    if (!runStep(*engine, loadStep, &step)) {
        return {nullptr, engine->fault};
    }
    memory.clientWrites.wanted = !engine->handlers.empty();
    return {std::move(engine), {}};
}

void logStop(const ProgramRun &run, const ProgramFault &fault) {
    const std::string file = fileOf(run);
    if (fault.line > 0) {
        logMessage(attributeError, "%s CPU STOP: %s:%d: %s", namedPrefix("program").text(),
                   file.c_str(), fault.line, fault.text.c_str());
    } else {
        logMessage(attributeError, "%s CPU STOP: %s: %s", namedPrefix("program").text(),
                   file.c_str(), fault.text.c_str());
    }
}

bool stopWith(ProgramRun &run, Memory &memory, ProgramFault fault) {
    logStop(run, fault);
    run.faulted = true;
    run.fault = std::move(fault);
    run.started = false;
    clearClientWrites(memory.clientWrites);
    return false;
}

void noteCycleTime(CycleTimes &times, double ms) {
    times.minMs = times.cycles == 0 ? ms : std::min(times.minMs, ms);
    times.maxMs = std::max(times.maxMs, ms);
    times.lastMs = ms;
    times.totalMs += ms;
    times.cycles += 1;
}

} // namespace

bool programsAvailable() {
    return true;
}

std::string checkProgramSource(std::string_view source, std::string_view file) {
    lua_State *state = luaL_newstate();
    if (state == nullptr) {
        return std::string(file) + ": no memory for the interpreter";
    }
    const std::string chunkName = chunkNameOf(file);
    std::string error;
    if (luaL_loadbufferx(state, source.data(), source.size(), chunkName.c_str(), "t") != LUA_OK) {
        error = lua_tostring(state, -1);
    }
    lua_close(state);
    return error;
}

void restartProgram(ProgramRun &run) {
    run.engine.reset();
    run.started = false;
    run.faulted = false;
    run.fault = {};
    run.times = {};
    run.lateness = {};
}

ProgramLoad replaceProgram(ProgramRun &run, std::string source) {
    const std::string file = fileOf(run);
    const std::string error = checkProgramSource(source, file);
    if (!error.empty()) {
        ProgramFault fault;
        if (!splitPlace(file, error, fault.line, fault.text)) {
            fault.text = error;
        }
        return {false, fault};
    }
    run.source = std::move(source);
    restartProgram(run);
    return {true, {}};
}

bool programPass(ProgramRun &run, Memory &memory, bool cpuRuns, std::int64_t nowMicros) {
    run.lastPassMicros = nowMicros;
    if (!run.clockStarted) {
        run.clockStarted = true;
        run.originMicros = nowMicros;
    }
    if (!cpuRuns) {
        run.started = false;
        if (memory.clientWrites.wanted) {
            clearClientWrites(memory.clientWrites);
        }
        return true;
    }
    if (!run.engine) {
        if (!hasProgram(run)) {
            return true;
        }
        // Loaded on the way to RUN, as a CPU runs its program from the top: at the start, after
        // a download, and after a failure there.
        NewEngine made = newEngine(run, run.source, memory);
        if (!made.engine) {
            return stopWith(run, memory, made.fault);
        }
        run.engine = std::move(made.engine);
    }
    ProgramEngine &engine = *run.engine;
    engine.memory = &memory;
    if (!run.started) {
        run.started = true;
        clearClientWrites(memory.clientWrites); // the writes of the STOP are not handled
        if (!runStep(engine, startupStep, nullptr)) {
            return stopWith(run, memory, engine.fault);
        }
        run.faulted = false;
        run.nextCycleMicros = nowMicros;
        run.lastCycleMicros = nowMicros;
    }
    if (nowMicros < run.nextCycleMicros) {
        return true;
    }
    StartLateness &late = run.lateness;
    late.samplesMs[late.count % lateSampleCount] =
        static_cast<float>(nowMicros - run.nextCycleMicros) / 1000.0f;
    late.count += 1;
    engine.dtMs = static_cast<double>(nowMicros - run.lastCycleMicros) / 1000.0;
    const std::int64_t began = platform::monotonicMicros();
    const bool ok = runStep(engine, cycleStep, nullptr);
    const std::int64_t tookMicros = platform::monotonicMicros() - began;
    noteCycleTime(run.times, static_cast<double>(tookMicros) / 1000.0);
    noteCycleSeconds(run.histogram, static_cast<double>(tookMicros) / 1e6);
    run.lastCycleMicros = nowMicros;
    run.nextCycleMicros += static_cast<std::int64_t>(run.setup.cycleMs) * 1000;
    if (run.nextCycleMicros <= nowMicros) {
        run.nextCycleMicros = nowMicros + static_cast<std::int64_t>(run.setup.cycleMs) * 1000;
    }
    if (!ok) {
        return stopWith(run, memory, engine.fault);
    }
    return true;
}

std::int64_t programWaitLimit(const ProgramRun &run, bool cpuRuns, std::int64_t nowMicros) {
    if (!cpuRuns || !hasProgram(run)) {
        return INT64_MAX;
    }
    if (!run.engine || !run.started) {
        return 0;
    }
    return std::max<std::int64_t>(0, run.nextCycleMicros - nowMicros);
}
