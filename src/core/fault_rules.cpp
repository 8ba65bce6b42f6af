#include "core/fault_rules.h"

#include "core/ipv4_text.h"
#include "core/log.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

std::vector<FaultRule> rules;
int enabledCount = 0;
int nextId = 1;
std::uint64_t generatorState = defaultFaultSeed;

// splitmix64: small, fast and the same on every platform and standard library, so a seed gives
// the same faults wherever the server runs.
double drawUnit() {
    generatorState += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = generatorState;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

void recount() {
    enabledCount = static_cast<int>(std::count_if(
        rules.begin(), rules.end(), [](const FaultRule &rule) { return rule.enabled; }));
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

struct NamedAction {
    std::string_view key;
    FaultAction action;
};
constexpr std::array<NamedAction, 6> actionKeys = {{
    {"item_code", FaultAction::itemCode},
    {"header_error", FaultAction::headerError},
    {"delay_ms", FaultAction::delay},
    {"no_reply", FaultAction::noReply},
    {"close", FaultAction::close},
    {"refuse", FaultAction::refuse},
}};

struct NamedArea {
    std::string_view name;
    FaultArea area;
};
constexpr std::array<NamedArea, 5> areaNames = {{
    {"M", FaultArea::flags},
    {"I", FaultArea::inputs},
    {"Q", FaultArea::outputs},
    {"T", FaultArea::timers},
    {"C", FaultArea::counters},
}};

// The item return codes a CPU gives: hardware fault, access denied, address out of range, type
// not supported, type inconsistent, object does not exist.
constexpr std::array<std::uint32_t, 6> itemCodes = {0x01, 0x03, 0x05, 0x06, 0x07, 0x0A};

constexpr std::uint64_t largestCount = 1'000'000'000;
// Below the 65 s after which an idle connection is closed: a held slot reads nothing meanwhile.
constexpr std::uint32_t largestDelayMs = 60'000;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return out;
}

// A whole number in decimal or with 0x in hexadecimal, within 0..largest.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t largest) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        value > largest) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> parseFlag(std::string_view text) {
    const std::string word = lower(text);
    if (word == "true") {
        return true;
    }
    if (word == "false") {
        return false;
    }
    return std::nullopt;
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

bool parseArea(std::string_view text, FaultRule &rule) {
    const std::string word = lower(text);
    for (const NamedArea &named : areaNames) {
        if (word == lower(named.name)) {
            rule.area = named.area;
            return true;
        }
    }
    if (word.size() > 2 && word.compare(0, 2, "db") == 0) {
        const std::string_view digits = std::string_view(word).substr(2);
        const std::optional<std::uint64_t> number = parseNumber(digits, 65535);
        if (number && *number > 0 && digits.find_first_not_of("0123456789") == std::string::npos) {
            rule.area = FaultArea::dataBlock;
            rule.dbNumber = static_cast<std::uint16_t>(*number);
            return true;
        }
    }
    return false;
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

std::string_view onName(FaultOn on) {
    for (const NamedOn &named : onNames) {
        if (named.on == on) {
            return named.name;
        }
    }
    return "any";
}

std::string_view actionKey(FaultAction action) {
    for (const NamedAction &named : actionKeys) {
        if (named.action == action) {
            return named.key;
        }
    }
    return "";
}

std::string areaText(FaultArea area, std::uint16_t dbNumber) {
    if (area == FaultArea::dataBlock) {
        return "DB" + std::to_string(dbNumber);
    }
    for (const NamedArea &named : areaNames) {
        if (named.area == area) {
            return std::string(named.name);
        }
    }
    return "";
}

std::string hexText(std::uint32_t value, int digits) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%0*X", digits, value);
    return text.data();
}

std::string actionValueText(const FaultRule &rule) {
    switch (rule.action) {
    case FaultAction::itemCode:
        return hexText(rule.value, 2);
    case FaultAction::headerError:
        return hexText(rule.value, 4);
    case FaultAction::delay:
        return std::to_string(rule.value);
    case FaultAction::noReply:
    case FaultAction::close:
    case FaultAction::refuse:
        return "true";
    }
    return "";
}

// The action as the fired line says it: "delay 250 ms", "item code 0x0A".
std::string actionPhrase(const FaultRule &rule) {
    switch (rule.action) {
    case FaultAction::itemCode:
        return "item code " + hexText(rule.value, 2);
    case FaultAction::headerError:
        return "header error " + hexText(rule.value, 4);
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

// One setting into the rule; an error text, or empty when taken.
std::string applySetting(const FaultSetting &setting, FaultRule &rule, bool &hasAction,
                         bool &hasStart, bool &hasEnd) {
    const std::string key = lower(setting.key);
    const std::string_view value = setting.value;
    const auto bad = [&](std::string_view what) {
        return "fault key " + key + ": '" + std::string(value) + "' is not " + std::string(what);
    };
    if (key == "on") {
        const std::string word = lower(value);
        for (const NamedOn &named : onNames) {
            if (word == named.name) {
                rule.on = named.on;
                return "";
            }
        }
        return bad("one of read, write, setup, szl, connect, any");
    }
    if (key == "area") {
        return parseArea(value, rule) ? "" : bad("an area (DB1 to DB65535, M, I, Q, T or C)");
    }
    if (key == "start" || key == "end") {
        const std::optional<std::uint64_t> number = parseNumber(value, 0xFFFFFFFF);
        if (!number) {
            return bad("a byte offset");
        }
        (key == "start" ? rule.start : rule.end) = static_cast<std::uint32_t>(*number);
        (key == "start" ? hasStart : hasEnd) = true;
        return "";
    }
    if (key == "client") {
        const std::optional<platform::Ipv4Address> address = parseIpv4(value);
        if (!address) {
            return bad("an IPv4 address");
        }
        rule.hasClient = true;
        rule.client = *address;
        return "";
    }
    if (key == "after" || key == "every") {
        const std::optional<std::uint64_t> number = parseNumber(value, largestCount);
        if (!number || (key == "every" && *number == 0)) {
            return bad(key == "every" ? "a count from 1" : "a count");
        }
        (key == "after" ? rule.after : rule.every) = *number;
        return "";
    }
    if (key == "probability") {
        const std::optional<double> probability = parseProbability(value);
        if (!probability) {
            return bad("a probability from 0 to 1");
        }
        rule.probability = *probability;
        return "";
    }
    for (const NamedAction &named : actionKeys) {
        if (key != named.key) {
            continue;
        }
        if (hasAction) {
            return "fault rule has two actions: " + std::string(actionKey(rule.action)) + " and " +
                   key + " (give exactly one)";
        }
        hasAction = true;
        rule.action = named.action;
        switch (named.action) {
        case FaultAction::itemCode: {
            const std::optional<std::uint64_t> code = parseNumber(value, 0xFF);
            if (!code || std::find(itemCodes.begin(), itemCodes.end(), *code) == itemCodes.end()) {
                return bad("an item return code (0x01, 0x03, 0x05, 0x06, 0x07 or 0x0A)");
            }
            rule.value = static_cast<std::uint32_t>(*code);
            return "";
        }
        case FaultAction::headerError: {
            const std::optional<std::uint64_t> code = parseNumber(value, 0xFFFF);
            if (!code || *code < 0x100) {
                return bad("a header error (error class and code, 0x8104)");
            }
            rule.value = static_cast<std::uint32_t>(*code);
            return "";
        }
        case FaultAction::delay: {
            const std::optional<std::uint64_t> ms = parseNumber(value, largestDelayMs);
            if (!ms || *ms == 0) {
                return bad("a delay from 1 to 60000 ms");
            }
            rule.value = static_cast<std::uint32_t>(*ms);
            return "";
        }
        case FaultAction::noReply:
        case FaultAction::close:
        case FaultAction::refuse: {
            const std::optional<bool> flag = parseFlag(value);
            if (!flag || !*flag) {
                return bad("true (leave the key out for no " + key + ")");
            }
            rule.value = 1;
            return "";
        }
        }
    }
    return "unknown fault key '" + std::string(setting.key) +
           "' (keys: on, area, start, end, client, after, every, probability, item_code, "
           "header_error, delay_ms, no_reply, close, refuse)";
}

// ---------------------------------------------------------------------------------------------
// Matching.

bool itemMatches(const FaultRule &rule, const FaultItem &item) {
    if (rule.area == FaultArea::all) {
        return true;
    }
    if (item.area != rule.area ||
        (rule.area == FaultArea::dataBlock && item.dbNumber != rule.dbNumber)) {
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
    return rule.area == FaultArea::all;
}

bool turnComes(FaultRule &rule) {
    rule.matched += 1;
    // every=3: the 3rd, 6th, 9th... request behind the skipped ones.
    if (rule.matched <= rule.after || (rule.matched - rule.after) % rule.every != 0) {
        return false;
    }
    return rule.probability >= 1.0 || drawUnit() < rule.probability;
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
    FaultRule rule{};
    rule.enabled = true;
    rule.every = 1;
    rule.probability = 1.0;
    bool hasAction = false;
    bool hasStart = false;
    bool hasEnd = false;
    std::vector<std::string> seen;
    for (const FaultSetting &setting : settings) {
        const std::string key = lower(setting.key);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return {false, {}, "fault key " + key + " given twice"};
        }
        seen.push_back(key);
        if (std::string error = applySetting(setting, rule, hasAction, hasStart, hasEnd);
            !error.empty()) {
            return {false, {}, error};
        }
    }
    if (!hasAction) {
        return {false,
                {},
                "fault rule has no action (give one of item_code, header_error, delay_ms, "
                "no_reply, close, refuse)"};
    }
    if (!actionFits(rule.action, rule.on)) {
        return {false,
                {},
                "fault action " + std::string(actionKey(rule.action)) +
                    " does not fit on=" + std::string(onName(rule.on)) +
                    (rule.action == FaultAction::refuse ? " (refuse needs on=connect)" : "")};
    }
    const bool itemRequest =
        rule.on == FaultOn::read || rule.on == FaultOn::write || rule.on == FaultOn::any;
    if (rule.area != FaultArea::all && !itemRequest) {
        return {false,
                {},
                "fault key area does not fit on=" + std::string(onName(rule.on)) +
                    " (only read, write and any requests address memory)"};
    }
    if ((hasStart || hasEnd) && rule.area == FaultArea::all) {
        return {false, {}, "fault keys start and end need an area"};
    }
    if (hasStart || hasEnd) {
        rule.hasRange = true;
        if (!hasEnd) {
            rule.end = 0xFFFFFFFF;
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
    settings.push_back({"on", std::string(onName(rule.on))});
    if (rule.area != FaultArea::all) {
        settings.push_back({"area", areaText(rule.area, rule.dbNumber)});
    }
    if (rule.hasRange) {
        settings.push_back({"start", std::to_string(rule.start)});
        if (rule.end != 0xFFFFFFFF) {
            settings.push_back({"end", std::to_string(rule.end)});
        }
    }
    if (rule.hasClient) {
        settings.push_back({"client", ipv4Text(rule.client)});
    }
    if (rule.after != 0) {
        settings.push_back({"after", std::to_string(rule.after)});
    }
    if (rule.every != 1) {
        settings.push_back({"every", std::to_string(rule.every)});
    }
    if (rule.probability < 1.0) {
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "%g", rule.probability);
        settings.push_back({"probability", text.data()});
    }
    settings.push_back({std::string(actionKey(rule.action)), actionValueText(rule)});
    return settings;
}

std::string describeFaultRule(const FaultRule &rule) {
    std::string text;
    for (const FaultSetting &setting : faultRuleSettings(rule)) {
        text += (text.empty() ? "" : " ") + setting.key + "=" + setting.value;
    }
    return text;
}

void setFaultRules(std::vector<FaultRule> given, std::uint64_t seed) {
    rules = std::move(given);
    nextId = 1;
    for (FaultRule &rule : rules) {
        rule.id = nextId++;
        rule.matched = 0;
        rule.fired = 0;
    }
    generatorState = seed;
    recount();
}

int addFaultRule(FaultRule rule) {
    rule.id = nextId++;
    rule.matched = 0;
    rule.fired = 0;
    rules.push_back(rule);
    recount();
    return rule.id;
}

bool removeFaultRule(int id) {
    const auto found = std::find_if(rules.begin(), rules.end(),
                                    [id](const FaultRule &rule) { return rule.id == id; });
    if (found == rules.end()) {
        return false;
    }
    rules.erase(found);
    recount();
    return true;
}

bool enableFaultRule(int id, bool enabled) {
    for (FaultRule &rule : rules) {
        if (rule.id == id) {
            rule.enabled = enabled;
            recount();
            return true;
        }
    }
    return false;
}

std::span<const FaultRule> faultRules() {
    return rules;
}

bool faultRulesActive() {
    return enabledCount > 0;
}

FaultDecision decideFaults(const FaultRequest &request) {
    FaultDecision decision{};
    bool contentDecided = false;
    for (FaultRule &rule : rules) {
        int firstItem = -1;
        if (!rule.enabled || !requestMatches(rule, request, firstItem) || !turnComes(rule)) {
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
