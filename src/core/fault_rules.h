// Faults on purpose: rules that make the server fail the way real PLCs and networks fail (an
// item refused, a job refused, a late answer, no answer, a dropped or refused connection), so a
// client's error handling can be tested on demand and reproducibly.
//
// A rule is a list of key=value settings, the same keys in the configuration file, on the
// command line and in the HTTP API:
//
//   on          read | write | setup | szl | connect | any (default any: every request on a
//               connection, the connection request aside)
//   area        DB5 | M | I | Q | T | C (absent: every area); start, end: a byte range within it
//               (end exclusive; timers and counters by element number)
//   client      an IPv4 address
//   after       skip the first N matching requests (default 0)
//   every       then every Nth (default 1)
//   probability 0..1 (default 1), drawn from one generator seeded with --seed
//   and exactly one action: item_code, header_error, delay_ms, no_reply, close, refuse
#pragma once

#include "base/memory_area.h"
#include "base/text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class FaultOn { any, read, write, setup, szl, connect };

enum class FaultAction { itemCode, headerError, delay, noReply, close, refuse };

struct FaultRule {
    int id;       // its number in the log and the API: 1, 2, ... in the order given
    bool enabled; // a rule switched off matches nothing and counts nothing
    FaultOn on;
    std::optional<MemoryArea> area; // none: every area
    std::uint16_t dbNumber;         // area DB only
    bool hasRange;
    std::uint32_t start; // byte (timers, counters: element) range within the area, end exclusive
    std::uint32_t end;
    bool hasClient;
    Ipv4Address client;
    std::uint64_t after;
    std::uint64_t every;
    double probability;
    FaultAction action;
    std::uint32_t value;   // the item code, the header error (class << 8 | code) or the delay in ms
    std::uint64_t matched; // requests that matched so far
    std::uint64_t fired;   // of those, the ones the rule acted on
};

// One key=value setting; values as text ("0x0A", "true", "0.5", "DB5").
struct FaultSetting {
    std::string key;
    std::string value;
};

struct FaultRuleParse {
    bool ok;
    FaultRule rule; // enabled, id 0, counters at 0
    std::string error;
};

// A rule from its settings. Refuses, naming the problem: an unknown or repeated key, a value
// that does not parse or is out of range, no action or two, an action that does not fit on, a
// range without an area or ending before it starts.
FaultRuleParse parseFaultRule(std::span<const FaultSetting> settings);

// A rule from the command line's text: "key=value,key=value".
FaultRuleParse parseFaultRuleText(std::string_view text);

// The rule's settings as a canonical list (what --check shows and the API returns), defaults
// left out: on=read area=DB5 start=0 end=10 item_code=0x0A.
std::vector<FaultSetting> faultRuleSettings(const FaultRule &rule);
std::string describeFaultRule(const FaultRule &rule); // the settings joined by spaces

// The rules in force on one PLC, with their counts and the generator their probabilities draw
// from. The default seed makes a run without --seed reproducible too.
inline constexpr std::uint64_t defaultFaultSeed = 1;
struct FaultRules {
    std::vector<FaultRule> rules;
    int enabledCount = 0;
    int nextId = 1;
    std::uint64_t generator = defaultFaultSeed;
};

// Replaces the rules (numbered 1, 2, ...), restarts their counts and seeds the generator.
void setFaultRules(FaultRules &faults, std::vector<FaultRule> rules, std::uint64_t seed);
// Keeps the rules as they are and restarts their counts and the generator, as at start.
void restartFaultCounts(FaultRules &faults, std::uint64_t seed);
// Adds a rule behind the others with the next free number, and returns that number.
int addFaultRule(FaultRules &faults, FaultRule rule);
bool removeFaultRule(FaultRules &faults, int id);
bool enableFaultRule(FaultRules &faults, int id, bool enabled);

// True while at least one rule is switched on; every hook checks this first, so a server
// without rules pays one load and one branch per request.
inline bool faultRulesActive(const FaultRules &faults) {
    return faults.enabledCount > 0;
}

// ---------------------------------------------------------------------------------------------
// Deciding. A request as the rules see it: what it is, who sent it and, for Read Var and Write
// Var, the bytes each item covers. Kinds a rule cannot name (userdata other than SZL, control
// jobs) arrive as FaultOn::any and match only rules with on=any.
struct FaultItem {
    std::optional<MemoryArea> area; // none: an area no rule can name (periphery, unknown codes)
    std::uint16_t dbNumber = 0;
    std::uint32_t start = 0; // bytes, or timer and counter elements, end exclusive
    std::uint32_t end = 0;
};

inline constexpr std::size_t largestFaultItemCount = 255;

struct FaultRequest {
    FaultOn kind;
    Ipv4Address client;
    std::span<const FaultItem> items;
};

// What the rules decided for one request. The reply's content (a header error, or item codes)
// and its delivery (late, never, the connection dropped or refused) are decided independently:
// a rule of each kind may fire on the same request. Within each kind the first rule whose turn it
// is wins; every rule that matches counts the request, whichever fires.
struct FaultDecision {
    std::uint16_t headerError; // 0: none
    bool anyItemCode;
    std::array<std::uint8_t, largestFaultItemCount> itemCodes; // 0: served as usual
    bool hasDelivery;
    FaultAction delivery; // delay, noReply, close or refuse
    std::uint32_t delayMs;
};

// The return code a fault gives item i of the request, or 0: served as usual.
inline std::uint8_t faultItemCode(const FaultDecision &decision, std::size_t item) {
    return decision.anyItemCode && item < decision.itemCodes.size() ? decision.itemCodes[item] : 0;
}

// Counts the request against every rule, draws for those with a probability, logs one line per
// rule that fires ("Fault 2 fired: delay 250 ms on read DB6") and returns what fired.
FaultDecision decideFaults(FaultRules &faults, const FaultRequest &request);
