// /api/faults: the fault rules in force, switched on and off, added and removed over HTTP with
// the same keys as the configuration file.
#include "http/http_api.h"

#include "base/text.h"
#include "core/fault_rules.h"
#include "core/log.h"

#include <cmath>
#include <cstdio>

using json = nlohmann::ordered_json;

namespace {

HttpReply faultError(int status, std::string text) {
    return {status,
            "application/json",
            json{{"error", std::move(text)}}.dump(-1, ' ', false, json::error_handler_t::replace),
            {},
            false};
}

// A JSON value as the text the rule parser reads: strings as they are, numbers and booleans
// written out; anything else cannot be a setting.
bool settingText(const json &value, std::string &text) {
    if (value.is_string()) {
        text = value.get<std::string>();
    } else if (value.is_boolean()) {
        text = value.get<bool>() ? "true" : "false";
    } else if (value.is_number_integer()) {
        text = value.dump();
    } else if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number)) {
            return false;
        }
        text = value.dump();
    } else {
        return false;
    }
    return true;
}

HttpReply addRule(FaultRules &faults, const json &body) {
    std::vector<FaultSetting> settings;
    for (const auto &[key, value] : body.items()) {
        std::string text;
        if (!settingText(value, text)) {
            return faultError(400, "fault setting '" + key +
                                       "' must be a string, a number or true/false");
        }
        settings.push_back({key, std::move(text)});
    }
    const FaultRuleParse parsed = parseFaultRule(settings);
    if (!parsed.ok) {
        return faultError(400, "bad fault rule: " + parsed.error);
    }
    const int id = addFaultRule(faults, parsed.rule);
    logMessage(attributePlain, "HTTP: fault rule %d added: %s", id,
               describeFaultRule(parsed.rule).c_str());
    return {201, "application/json", json{{"id", id}}.dump(), {}, false};
}

} // namespace

json faultsJson(const FaultRules &faults) {
    json rules = json::array();
    for (const FaultRule &rule : faults.rules) {
        json settings = json::object();
        for (const FaultSetting &setting : faultRuleSettings(rule)) {
            settings[setting.key] = setting.value;
        }
        rules.push_back({{"id", rule.id},
                         {"enabled", rule.enabled},
                         {"text", describeFaultRule(rule)},
                         {"settings", std::move(settings)},
                         {"matched", rule.matched},
                         {"fired", rule.fired}});
    }
    return json{{"rules", std::move(rules)}};
}

HttpReply handleFaultRequest(FaultRules &faults, std::string_view method, std::string_view rest,
                             const json *body) {
    if (rest.empty()) {
        if (method == "GET") {
            return {200, "application/json", faultsJson(faults).dump(), {}, false};
        }
        if (method == "POST" && body != nullptr) {
            return addRule(faults, *body);
        }
        return faultError(405, std::string(method) + " is not allowed on /api/faults");
    }
    const std::optional<std::uint64_t> number =
        parseWholeNumber(rest, 1, static_cast<std::uint64_t>(INT32_MAX));
    if (!number) {
        return faultError(400, "bad fault rule id '" + std::string(rest) + "'");
    }
    const int id = static_cast<int>(*number);
    const std::string missing = "no fault rule " + std::to_string(id);
    if (method == "DELETE") {
        if (!removeFaultRule(faults, id)) {
            return faultError(404, missing);
        }
        logMessage(attributePlain, "HTTP: fault rule %d removed", id);
        return {200, "application/json", json{{"id", id}}.dump(), {}, false};
    }
    if (method == "POST" && body != nullptr) {
        const json::const_iterator enabled = body->find("enabled");
        if (enabled == body->end() || !enabled->is_boolean()) {
            return faultError(400, "the body needs \"enabled\": true or false");
        }
        if (!enableFaultRule(faults, id, enabled->get<bool>())) {
            return faultError(404, missing);
        }
        logMessage(attributePlain, "HTTP: fault rule %d switched %s", id,
                   enabled->get<bool>() ? "on" : "off");
        return {200,
                "application/json",
                json{{"id", id}, {"enabled", enabled->get<bool>()}}.dump(),
                {},
                false};
    }
    return faultError(405,
                      std::string(method) + " is not allowed on /api/faults/" + std::string(rest));
}
