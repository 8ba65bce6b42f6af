#include "core/fault_rules.h"

#include "core/log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

// splitmix64: small, fast and the same on every platform and standard library, so a seed gives
// the same faults wherever the server runs.
double drawUnit(std::uint64_t &state) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

void recount(FaultRules &faults) {
    faults.enabledCount =
        static_cast<int>(std::count_if(faults.rules.begin(), faults.rules.end(),
                                       [](const FaultRule &rule) { return rule.enabled; }));
}

// ---------------------------------------------------------------------------------------------
// Reading settings.

struct NamedOn {
    std::string_view name;
    FaultOn on;
};
constexpr std::array<NamedOn, 6> onNames = {{
    {"any", FaultOn::any},
    {"read", FaultOn::read},
    {"write", FaultOn::write},
    {"setup", FaultOn::setup},
    {"szl", FaultOn::szl},
    {"connect", FaultOn::connect},
}};

// The item return codes a CPU gives: hardware fault, access denied, address out of range, type
// not supported, type inconsistent, object does not exist.
constexpr std::array<std::uint32_t, 6> itemCodes = {0x01, 0x03, 0x05, 0x06, 0x07, 0x0A};

constexpr std::uint64_t largestCount = 1'000'000'000;
// Below the 65 s after which an idle connection is closed: a held slot reads nothing meanwhile.
constexpr std::uint32_t largestDelayMs = 60'000;
constexpr std::uint32_t noEnd = 0xFFFFFFFF;

// A rule while its settings are read: which keys came, for the checks across keys.
struct RuleDraft {
    FaultRule rule{};
    bool hasAction = false;
    bool hasStart = false;
    bool hasEnd = false;
};

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t largest) {
    return parseWholeNumber(text, 0, largest, NumberBase::decimalOrHex);
}

std::optional<double> parseProbability(std::string_view text) {
    // from_chars for doubles is missing from some standard libraries the build uses; strtod
    // on a copy is enough for one value read at start-up.
    const std::string copy(text);
    char *end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0.0 ||
        value > 1.0) {
        return std::nullopt;
    }
    return value;
}

std::string areaText(std::optional<MemoryArea> area, std::uint16_t dbNumber) {
    if (!area) {
        return "";
    }
    if (*area == MemoryArea::dataBlock) {
        return "DB" + std::to_string(dbNumber);
    }
    return std::string(areaLetter(*area));
}

// ---- one reader per key: true when the value was taken

bool readOn(std::string_view value, RuleDraft &draft) {
    const std::string word = asciiLower(value);
    for (const NamedOn &named : onNames) {
        if (word == named.name) {
            draft.rule.on = named.on;
            return true;
        }
    }
    return false;
}

bool readArea(std::string_view value, RuleDraft &draft) {
    const std::string word = asciiUpper(value);
    for (const MemoryArea area : fixedAreas) {
        if (word == areaLetter(area)) {
            draft.rule.area = area;
            return true;
        }
    }
    if (word.size() > 2 && word.starts_with("DB")) {
        const std::optional<std::uint64_t> number =
            parseWholeNumber(std::string_view(word).substr(2), 1, 65535);
        if (number) {
            draft.rule.area = MemoryArea::dataBlock;
            draft.rule.dbNumber = static_cast<std::uint16_t>(*number);
            return true;
        }
    }
    return false;
}

bool readOffset(std::string_view value, std::uint32_t &offset, bool &given) {
    const std::optional<std::uint64_t> number = parseNumber(value, noEnd);
    if (number) {
        offset = static_cast<std::uint32_t>(*number);
        given = true;
    }
    return number.has_value();
}

bool readStart(std::string_view value, RuleDraft &draft) {
    return readOffset(value, draft.rule.start, draft.hasStart);
}

bool readEnd(std::string_view value, RuleDraft &draft) {
    return readOffset(value, draft.rule.end, draft.hasEnd);
}

bool readClient(std::string_view value, RuleDraft &draft) {
    const std::optional<Ipv4Address> address = parseIpv4(value);
    if (address) {
        draft.rule.hasClient = true;
        draft.rule.client = *address;
    }
    return address.has_value();
}

bool readAfter(std::string_view value, RuleDraft &draft) {
    const std::optional<std::uint64_t> count = parseNumber(value, largestCount);
    draft.rule.after = count.value_or(0);
    return count.has_value();
}

bool readEvery(std::string_view value, RuleDraft &draft) {
    const std::optional<std::uint64_t> count = parseNumber(value, largestCount);
    draft.rule.every = count.value_or(1);
    return count.has_value() && *count != 0;
}

bool readProbability(std::string_view value, RuleDraft &draft) {
    const std::optional<double> probability = parseProbability(value);
    draft.rule.probability = probability.value_or(1.0);
    return probability.has_value();
}

bool readItemCode(std::string_view value, RuleDraft &draft) {
    const std::optional<std::uint64_t> code = parseNumber(value, 0xFF);
    if (!code || std::find(itemCodes.begin(), itemCodes.end(), *code) == itemCodes.end()) {
        return false;
    }
    draft.rule.value = static_cast<std::uint32_t>(*code);
    return true;
}

bool readHeaderError(std::string_view value, RuleDraft &draft) {
    const std::optional<std::uint64_t> code = parseNumber(value, 0xFFFF);
    if (!code || *code < 0x100) {
        return false;
    }
    draft.rule.value = static_cast<std::uint32_t>(*code);
    return true;
}

bool readDelay(std::string_view value, RuleDraft &draft) {
    const std::optional<std::uint64_t> ms = parseNumber(value, largestDelayMs);
    if (!ms || *ms == 0) {
        return false;
    }
    draft.rule.value = static_cast<std::uint32_t>(*ms);
    return true;
}

// no_reply, close and refuse are switched on by true; leaving the key out is the only off.
bool readTrue(std::string_view value, RuleDraft &draft) {
    draft.rule.value = 1;
    return asciiLower(value) == "true";
}

// ---- one writer per key: the value as the canonical settings show it, or none for a default

std::string_view onName(FaultOn on) {
    for (const NamedOn &named : onNames) {
        if (named.on == on) {
            return named.name;
        }
    }
    return "any";
}

std::optional<std::string> showOn(const FaultRule &rule) {
    return std::string(onName(rule.on));
}

std::optional<std::string> showArea(const FaultRule &rule) {
    return rule.area ? std::optional<std::string>(areaText(rule.area, rule.dbNumber))
                     : std::nullopt;
}

std::optional<std::string> showStart(const FaultRule &rule) {
    return rule.hasRange ? std::optional<std::string>(std::to_string(rule.start)) : std::nullopt;
}

std::optional<std::string> showEnd(const FaultRule &rule) {
    return rule.hasRange && rule.end != noEnd ? std::optional<std::string>(std::to_string(rule.end))
                                              : std::nullopt;
}

std::optional<std::string> showClient(const FaultRule &rule) {
    return rule.hasClient ? std::optional<std::string>(ipv4Text(rule.client)) : std::nullopt;
}

std::optional<std::string> showAfter(const FaultRule &rule) {
    return rule.after != 0 ? std::optional<std::string>(std::to_string(rule.after)) : std::nullopt;
}

std::optional<std::string> showEvery(const FaultRule &rule) {
    return rule.every != 1 ? std::optional<std::string>(std::to_string(rule.every)) : std::nullopt;
}

std::optional<std::string> showProbability(const FaultRule &rule) {
    if (rule.probability >= 1.0) {
        return std::nullopt;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g", rule.probability);
    return std::string(text.data());
}

std::optional<std::string> showItemCode(const FaultRule &rule) {
    return hexNumber(rule.value, 2);
}

std::optional<std::string> showHeaderError(const FaultRule &rule) {
    return hexNumber(rule.value, 4);
}

std::optional<std::string> showDelay(const FaultRule &rule) {
    return std::to_string(rule.value);
}

std::optional<std::string> showTrue(const FaultRule &) {
    return "true";
}

// The keys in the order the canonical settings list them. An action key sets the rule's action
// as well; its writer is asked only for the rule's own action.
struct KeyRow {
    struct {
        std::string_view key;
        std::string_view expected; // what the value must be, for the message when it is not
    } names;
    std::optional<FaultAction> action;
    bool (*read)(std::string_view value, RuleDraft &draft) = nullptr;
    std::optional<std::string> (*show)(const FaultRule &rule) = nullptr;
};
// clang-format off
constexpr std::array<KeyRow, 14> keyRows = {{
    {{"on",           "one of read, write, setup, szl, connect, any"}, std::nullopt,
     readOn, showOn},
    {{"area",         "an area (DB1 to DB65535, M, I, Q, T or C)"}, std::nullopt,
     readArea, showArea},
    {{"start",        "a byte offset"}, std::nullopt, readStart, showStart},
    {{"end",          "a byte offset"}, std::nullopt, readEnd, showEnd},
    {{"client",       "an IPv4 address"}, std::nullopt, readClient, showClient},
    {{"after",        "a count"}, std::nullopt, readAfter, showAfter},
    {{"every",        "a count from 1"}, std::nullopt, readEvery, showEvery},
    {{"probability",  "a probability from 0 to 1"}, std::nullopt, readProbability,
     showProbability},
    {{"item_code",    "an item return code (0x01, 0x03, 0x05, 0x06, 0x07 or 0x0A)"},
     FaultAction::itemCode, readItemCode, showItemCode},
    {{"header_error", "a header error (error class and code, 0x8104)"},
     FaultAction::headerError, readHeaderError, showHeaderError},
    {{"delay_ms",     "a delay from 1 to 60000 ms"}, FaultAction::delay, readDelay, showDelay},
    {{"no_reply",     "true (leave the key out for no no_reply)"}, FaultAction::noReply,
     readTrue, showTrue},
    {{"close",        "true (leave the key out for no close)"}, FaultAction::close,
     readTrue, showTrue},
    {{"refuse",       "true (leave the key out for no refuse)"}, FaultAction::refuse,
     readTrue, showTrue},
}};
// clang-format on

const KeyRow *findKey(std::string_view key) {
    for (const KeyRow &row : keyRows) {
        if (row.names.key == key) {
            return &row;
        }
    }
    return nullptr;
}

std::string_view actionKey(FaultAction action) {
    for (const KeyRow &row : keyRows) {
        if (row.action == action) {
            return row.names.key;
        }
    }
    return "";
}

// "key, key, ..." of the rows that pass.
template <typename Pass> std::string keyList(Pass pass) {
    std::string list;
    for (const KeyRow &row : keyRows) {
        if (pass(row)) {
            list += (list.empty() ? "" : ", ") + std::string(row.names.key);
        }
    }
    return list;
}

bool actionFits(FaultAction action, FaultOn on) {
    switch (action) {
    case FaultAction::itemCode:
        return on == FaultOn::read || on == FaultOn::write || on == FaultOn::any;
    case FaultAction::headerError:
        return on != FaultOn::connect;
    case FaultAction::delay:
    case FaultAction::noReply:
    case FaultAction::close:
        return true;
    case FaultAction::refuse:
        return on == FaultOn::connect;
    }
    return false;
}

// The action as the fired line says it: "delay 250 ms", "item code 0x0A".
std::string actionPhrase(const FaultRule &rule) {
    switch (rule.action) {
    case FaultAction::itemCode:
        return "item code " + hexNumber(rule.value, 2);
    case FaultAction::headerError:
        return "header error " + hexNumber(rule.value, 4);
    case FaultAction::delay:
        return "delay " + std::to_string(rule.value) + " ms";
    case FaultAction::noReply:
        return "no reply";
    case FaultAction::close:
        return "close";
    case FaultAction::refuse:
        return "refuse";
    }
    return "";
}

// One setting into the draft; an error text, or empty when taken.
std::string applySetting(const FaultSetting &setting, RuleDraft &draft) {
    const std::string key = asciiLower(setting.key);
    const KeyRow *row = findKey(key);
    if (row == nullptr) {
        return "unknown fault key '" + setting.key +
               "' (keys: " + keyList([](const KeyRow &) { return true; }) + ")";
    }
    if (row->action) {
        if (draft.hasAction) {
            return "fault rule has two actions: " + std::string(actionKey(draft.rule.action)) +
                   " and " + key + " (give exactly one)";
        }
        draft.hasAction = true;
        draft.rule.action = *row->action;
    }
    if (!row->read(setting.value, draft)) {
        return "fault key " + key + ": '" + setting.value + "' is not " +
               std::string(row->names.expected);
    }
    return "";
}

// ---------------------------------------------------------------------------------------------
// Matching.

bool itemMatches(const FaultRule &rule, const FaultItem &item) {
    if (!rule.area) {
        return true;
    }
    if (item.area != rule.area ||
        (rule.area == MemoryArea::dataBlock && item.dbNumber != rule.dbNumber)) {
        return false;
    }
    return !rule.hasRange || (item.start < rule.end && rule.start < item.end);
}

// The request matches: its kind, its client and, with an area, at least one of its items.
// Returns the first matching item, or -1 when the rule has no area (or the request no items).
bool requestMatches(const FaultRule &rule, const FaultRequest &request, int &firstItem) {
    firstItem = -1;
    if (rule.on == FaultOn::any ? request.kind == FaultOn::connect : rule.on != request.kind) {
        return false;
    }
    if (rule.hasClient && rule.client != request.client) {
        return false;
    }
    if (rule.action == FaultAction::itemCode && request.items.empty()) {
        return false; // only items can carry a code
    }
    for (std::size_t i = 0; i < request.items.size(); ++i) {
        if (itemMatches(rule, request.items[i])) {
            firstItem = static_cast<int>(i);
            return true;
        }
    }
    return !rule.area;
}

bool turnComes(FaultRule &rule, std::uint64_t &generator) {
    rule.matched += 1;
    // every=3: the 3rd, 6th, 9th... request behind the skipped ones.
    if (rule.matched <= rule.after || (rule.matched - rule.after) % rule.every != 0) {
        return false;
    }
    return rule.probability >= 1.0 || drawUnit(generator) < rule.probability;
}

std::string_view requestName(FaultOn kind) {
    return kind == FaultOn::any ? "request" : onName(kind);
}

void logFired(const FaultRule &rule, const FaultRequest &request, int firstItem) {
    std::string where(requestName(request.kind));
    if (firstItem >= 0) {
        const FaultItem &item = request.items[static_cast<std::size_t>(firstItem)];
        const std::string area = areaText(item.area, item.dbNumber);
        if (!area.empty()) {
            where += " " + area;
        }
    }
    if (request.kind == FaultOn::connect) {
        where += " from " + ipv4Text(request.client);
    }
    logMessage(attributeError, "Fault %d fired: %s on %s", rule.id, actionPhrase(rule).c_str(),
               where.c_str());
}

} // namespace

FaultRuleParse parseFaultRule(std::span<const FaultSetting> settings) {
    RuleDraft draft{};
    FaultRule &rule = draft.rule;
    rule.enabled = true;
    rule.every = 1;
    rule.probability = 1.0;
    std::vector<std::string> seen;
    for (const FaultSetting &setting : settings) {
        const std::string key = asciiLower(setting.key);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return {false, {}, "fault key " + key + " given twice"};
        }
        seen.push_back(key);
        if (std::string error = applySetting(setting, draft); !error.empty()) {
            return {false, {}, error};
        }
    }
    if (!draft.hasAction) {
        return {false,
                {},
                "fault rule has no action (give one of " +
                    keyList([](const KeyRow &row) { return row.action.has_value(); }) + ")"};
    }
    const std::string onText(onName(rule.on));
    if (!actionFits(rule.action, rule.on)) {
        return {false,
                {},
                "fault action " + std::string(actionKey(rule.action)) +
                    " does not fit on=" + onText +
                    (rule.action == FaultAction::refuse ? " (refuse needs on=connect)" : "")};
    }
    const bool itemRequest =
        rule.on == FaultOn::read || rule.on == FaultOn::write || rule.on == FaultOn::any;
    if (rule.area && !itemRequest) {
        return {false,
                {},
                "fault key area does not fit on=" + onText +
                    " (only read, write and any requests address memory)"};
    }
    if ((draft.hasStart || draft.hasEnd) && !rule.area) {
        return {false, {}, "fault keys start and end need an area"};
    }
    if (draft.hasStart || draft.hasEnd) {
        rule.hasRange = true;
        if (!draft.hasEnd) {
            rule.end = noEnd;
        }
        if (rule.end <= rule.start) {
            return {false,
                    {},
                    "fault range ends at " + std::to_string(rule.end) + ", not behind its start " +
                        std::to_string(rule.start)};
        }
    }
    return {true, rule, ""};
}

FaultRuleParse parseFaultRuleText(std::string_view text) {
    // Commas or blanks separate the settings, so the canonical form (--check's) reads back too.
    constexpr std::string_view separators = ", \t";
    std::vector<FaultSetting> settings;
    while (!text.empty()) {
        const std::size_t start = text.find_first_not_of(separators);
        if (start == std::string_view::npos) {
            break;
        }
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find_first_of(separators), text.size());
        const std::string_view pair = text.substr(0, end);
        text.remove_prefix(end);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return {false, {}, "fault setting '" + std::string(pair) + "' is not key=value"};
        }
        settings.push_back(
            {std::string(pair.substr(0, equals)), std::string(pair.substr(equals + 1))});
    }
    return parseFaultRule(settings);
}

std::vector<FaultSetting> faultRuleSettings(const FaultRule &rule) {
    std::vector<FaultSetting> settings;
    for (const KeyRow &row : keyRows) {
        if (row.action && *row.action != rule.action) {
            continue;
        }
        if (const std::optional<std::string> value = row.show(rule)) {
            settings.push_back({std::string(row.names.key), *value});
        }
    }
    return settings;
}

std::string describeFaultRule(const FaultRule &rule) {
    std::string text;
    for (const FaultSetting &setting : faultRuleSettings(rule)) {
        text += (text.empty() ? "" : " ") + setting.key + "=" + setting.value;
    }
    return text;
}

void setFaultRules(FaultRules &faults, std::vector<FaultRule> rules, std::uint64_t seed) {
    faults.rules = std::move(rules);
    faults.nextId = 1;
    for (FaultRule &rule : faults.rules) {
        rule.id = faults.nextId++;
        rule.matched = 0;
        rule.fired = 0;
    }
    faults.generator = seed;
    recount(faults);
}

void restartFaultCounts(FaultRules &faults, std::uint64_t seed) {
    for (FaultRule &rule : faults.rules) {
        rule.matched = 0;
        rule.fired = 0;
    }
    faults.generator = seed;
}

int addFaultRule(FaultRules &faults, FaultRule rule) {
    rule.id = faults.nextId++;
    rule.matched = 0;
    rule.fired = 0;
    faults.rules.push_back(rule);
    recount(faults);
    return rule.id;
}

bool removeFaultRule(FaultRules &faults, int id) {
    const auto found = std::find_if(faults.rules.begin(), faults.rules.end(),
                                    [id](const FaultRule &rule) { return rule.id == id; });
    if (found == faults.rules.end()) {
        return false;
    }
    faults.rules.erase(found);
    recount(faults);
    return true;
}

bool enableFaultRule(FaultRules &faults, int id, bool enabled) {
    for (FaultRule &rule : faults.rules) {
        if (rule.id == id) {
            rule.enabled = enabled;
            recount(faults);
            return true;
        }
    }
    return false;
}

FaultDecision decideFaults(FaultRules &faults, const FaultRequest &request) {
    FaultDecision decision{};
    bool contentDecided = false;
    for (FaultRule &rule : faults.rules) {
        int firstItem = -1;
        if (!rule.enabled || !requestMatches(rule, request, firstItem) ||
            !turnComes(rule, faults.generator)) {
            continue;
        }
        switch (rule.action) {
        case FaultAction::itemCode:
            if (contentDecided && decision.headerError != 0) {
                continue;
            }
            for (std::size_t i = 0; i < request.items.size() && i < largestFaultItemCount; ++i) {
                if (decision.itemCodes[i] == 0 && itemMatches(rule, request.items[i])) {
                    decision.itemCodes[i] = static_cast<std::uint8_t>(rule.value);
                }
            }
            decision.anyItemCode = true;
            contentDecided = true;
            break;
        case FaultAction::headerError:
            if (contentDecided) {
                continue;
            }
            decision.headerError = static_cast<std::uint16_t>(rule.value);
            contentDecided = true;
            break;
        case FaultAction::delay:
        case FaultAction::noReply:
        case FaultAction::close:
        case FaultAction::refuse:
            if (decision.hasDelivery) {
                continue;
            }
            decision.hasDelivery = true;
            decision.delivery = rule.action;
            decision.delayMs = rule.value;
            break;
        }
        rule.fired += 1;
        logFired(rule, request, firstItem);
    }
    return decision;
}
