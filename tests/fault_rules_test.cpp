// Fault rules as text: what each rule means once read (its canonical form), why a rule that
// cannot be used is refused, and how rules of both kinds combine on one request.
#include "core/fault_rules.h"
#include "core/log.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

struct RuleText {
    const char *text;
    const char *meaning; // the canonical form, or the error when it starts with "!"
};

TEST(FaultRules, EachRuleReadsAsItsCanonicalFormOrIsRefusedWithItsReason) {
    // clang-format off
    const RuleText rows[] = {
        {"item_code=10", "on=any item_code=0x0A"},
        {" on=read, area=db5,,start=0x10 end=20\titem_code=0x05 ",
         "on=read area=DB5 start=16 end=20 item_code=0x05"},
        {"on=write,area=M,start=3,header_error=0x8104", "on=write area=M start=3 header_error=0x8104"},
        {"on=SZL,header_error=33028", "on=szl header_error=0x8104"},
        {"on=connect,client=192.168.0.10,refuse=TRUE", "on=connect client=192.168.0.10 refuse=true"},
        {"area=T,after=0,every=1,probability=1,no_reply=true", "on=any area=T no_reply=true"},
        {"on=setup,after=2,every=5,probability=0.125,close=true",
         "on=setup after=2 every=5 probability=0.125 close=true"},
        {"delay_ms=60000", "on=any delay_ms=60000"},
        // refused
        {"", "!fault rule has no action (give one of item_code, header_error, delay_ms, no_reply, "
             "close, refuse)"},
        {"on=read", "!fault rule has no action (give one of item_code, header_error, delay_ms, "
                    "no_reply, close, refuse)"},
        {"item_code=0x0A,header_error=0x8104",
         "!fault rule has two actions: item_code and header_error (give exactly one)"},
        {"on=read,on=write,close=true", "!fault key on given twice"},
        {"on=reads,close=true", "!fault key on: 'reads' is not one of read, write, setup, szl, "
                                "connect, any"},
        {"area=DB0,item_code=5", "!fault key area: 'DB0' is not an area (DB1 to DB65535, M, I, Q, "
                                 "T or C)"},
        {"area=DB65536,item_code=5", "!fault key area: 'DB65536' is not an area (DB1 to DB65535, "
                                     "M, I, Q, T or C)"},
        {"area=P,item_code=5", "!fault key area: 'P' is not an area (DB1 to DB65535, M, I, Q, T "
                               "or C)"},
        {"item_code=0x04", "!fault key item_code: '0x04' is not an item return code (0x01, 0x03, "
                           "0x05, 0x06, 0x07 or 0x0A)"},
        {"header_error=0x04", "!fault key header_error: '0x04' is not a header error (error class "
                              "and code, 0x8104)"},
        {"header_error=0x10000", "!fault key header_error: '0x10000' is not a header error (error "
                                 "class and code, 0x8104)"},
        {"delay_ms=0", "!fault key delay_ms: '0' is not a delay from 1 to 60000 ms"},
        {"delay_ms=60001", "!fault key delay_ms: '60001' is not a delay from 1 to 60000 ms"},
        {"no_reply=false", "!fault key no_reply: 'false' is not true (leave the key out for no "
                           "no_reply)"},
        {"every=0,close=true", "!fault key every: '0' is not a count from 1"},
        {"after=-1,close=true", "!fault key after: '-1' is not a count"},
        {"probability=1.5,close=true", "!fault key probability: '1.5' is not a probability from 0 "
                                       "to 1"},
        {"probability=nan,close=true", "!fault key probability: 'nan' is not a probability from 0 "
                                       "to 1"},
        {"client=10.0.0,close=true", "!fault key client: '10.0.0' is not an IPv4 address"},
        {"client=10.0.0.256,close=true", "!fault key client: '10.0.0.256' is not an IPv4 address"},
        {"on=connect,item_code=5", "!fault action item_code does not fit on=connect"},
        {"on=setup,item_code=5", "!fault action item_code does not fit on=setup"},
        {"on=connect,header_error=0x8104", "!fault action header_error does not fit on=connect"},
        {"refuse=true", "!fault action refuse does not fit on=any (refuse needs on=connect)"},
        {"on=setup,area=DB5,close=true", "!fault key area does not fit on=setup (only read, write "
                                         "and any requests address memory)"},
        {"start=4,item_code=5", "!fault keys start and end need an area"},
        {"area=M,start=8,end=8,item_code=5", "!fault range ends at 8, not behind its start 8"},
        {"delay=5", "!unknown fault key 'delay' (keys: on, area, start, end, client, after, every, "
                    "probability, item_code, header_error, delay_ms, no_reply, close, refuse)"},
        {"close", "!fault setting 'close' is not key=value"},
    };
    // clang-format on
    for (const RuleText &row : rows) {
        SCOPED_TRACE(row.text);
        const FaultRuleParse parsed = parseFaultRuleText(row.text);
        const std::string meaning = row.meaning;
        if (meaning.front() == '!') {
            EXPECT_FALSE(parsed.ok);
            EXPECT_EQ(parsed.error, meaning.substr(1));
        } else {
            ASSERT_TRUE(parsed.ok) << parsed.error;
            EXPECT_EQ(describeFaultRule(parsed.rule), meaning);
            // The canonical form reads back as the same rule.
            EXPECT_EQ(describeFaultRule(parseFaultRuleText(meaning).rule), meaning);
        }
    }
}

FaultRule rule(const char *text) {
    const FaultRuleParse parsed = parseFaultRuleText(text);
    EXPECT_TRUE(parsed.ok) << text << ": " << parsed.error;
    return parsed.rule;
}

constexpr Ipv4Address loopback = {127, 0, 0, 1};

TEST(FaultRules, ContentAndDeliveryFaultsCombineAndTheFirstOfEachKindWins) {
    std::vector<LogRecord> log;
    setLogCapture(&log);
    FaultRules faults;
    setFaultRules(faults,
                  {rule("on=read,area=DB5,start=4,end=6,item_code=0x05"),
                   rule("on=read,area=M,item_code=0x0A"), rule("on=read,delay_ms=250"),
                   rule("on=read,header_error=0x8104,after=1"), rule("on=read,close=true")},
                  defaultFaultSeed);
    // DB5 bytes 0-3 miss the range, 5-6 meet it, M is another rule's, DB6 nobody's.
    const std::array<FaultItem, 4> items = {{{MemoryArea::dataBlock, 5, 0, 4},
                                             {MemoryArea::dataBlock, 5, 5, 7},
                                             {MemoryArea::flags, 0, 0, 1},
                                             {MemoryArea::dataBlock, 6, 4, 6}}};
    const FaultDecision first = decideFaults(faults, {FaultOn::read, loopback, items});
    EXPECT_EQ(first.headerError, 0); // its first matching request is skipped
    EXPECT_TRUE(first.anyItemCode);
    EXPECT_EQ((std::array{first.itemCodes[0], first.itemCodes[1], first.itemCodes[2],
                          first.itemCodes[3]}),
              (std::array<std::uint8_t, 4>{0, 0x05, 0x0A, 0}));
    ASSERT_TRUE(first.hasDelivery);
    EXPECT_EQ(first.delivery, FaultAction::delay); // close comes later in the list
    EXPECT_EQ(first.delayMs, 250u);

    // The header error's turn comes after the item codes fired: the first content rule wins,
    // and every matching rule counted the request all the same.
    decideFaults(faults, {FaultOn::read, loopback, items});
    const std::span<const FaultRule> rules = faults.rules;
    EXPECT_EQ(rules[3].matched, 2u);
    EXPECT_EQ(rules[3].fired, 0u);
    EXPECT_EQ(rules[4].matched, 2u);
    EXPECT_EQ(rules[4].fired, 0u);

    // A write, and a read from another kind of request, match none of them.
    log.clear();
    EXPECT_FALSE(decideFaults(faults, {FaultOn::write, loopback, items}).hasDelivery);
    EXPECT_FALSE(decideFaults(faults, {FaultOn::setup, loopback, {}}).hasDelivery);
    EXPECT_TRUE(log.empty());

    EXPECT_TRUE(enableFaultRule(faults, 3, false)); // the delay off: the close is first now
    EXPECT_EQ(decideFaults(faults, {FaultOn::read, loopback, items}).delivery, FaultAction::close);
    EXPECT_TRUE(removeFaultRule(faults, 5));
    EXPECT_FALSE(removeFaultRule(faults, 5));
    EXPECT_EQ(addFaultRule(faults, rule("on=connect,refuse=true")), 6); // numbers are never reused
    setFaultRules(faults, {}, defaultFaultSeed);
    EXPECT_FALSE(faultRulesActive(faults));
    setLogCapture(nullptr);
}

TEST(FaultRules, AnyMatchesEveryRequestButTheConnectAndAClientRuleOnlyItsClient) {
    std::vector<LogRecord> log;
    setLogCapture(&log);
    FaultRules faults;
    setFaultRules(faults, {rule("no_reply=true"), rule("on=connect,client=10.0.0.7,refuse=true")},
                  defaultFaultSeed);
    EXPECT_TRUE(decideFaults(faults, {FaultOn::szl, loopback, {}}).hasDelivery);
    EXPECT_TRUE(decideFaults(faults, {FaultOn::any, loopback, {}}).hasDelivery);
    EXPECT_FALSE(decideFaults(faults, {FaultOn::connect, loopback, {}}).hasDelivery);
    const FaultDecision refused = decideFaults(faults, {FaultOn::connect, {10, 0, 0, 7}, {}});
    EXPECT_EQ(refused.delivery, FaultAction::refuse);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].text, "Fault 1 fired: no reply on szl");
    EXPECT_EQ(log[1].text, "Fault 1 fired: no reply on request");
    EXPECT_EQ(log[2].text, "Fault 2 fired: refuse on connect from 10.0.0.7");
    EXPECT_EQ(log[2].attribute, attributeError);
    setLogCapture(nullptr);
}

} // namespace
