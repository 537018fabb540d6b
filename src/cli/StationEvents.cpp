#include "cli/StationEvents.h"

namespace {

std::string Text(const nlohmann::ordered_json& o, const char* key)
{
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int Number(const nlohmann::ordered_json& o, const char* key)
{
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number_integer())
        return -1;
    const auto v = it->get<long long>();
    return v < 0 || v > 1000000 ? -1 : static_cast<int>(v);
}

} // namespace

bool ParseWorkerEvent(const std::string& line, CWorkerEvent& event)
{
    event = CWorkerEvent{};
    nlohmann::ordered_json o = nlohmann::ordered_json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object())
        return false;
    event.kind = Text(o, "event");
    if (event.kind.empty())
        return false;
    // A part is named "item" or, in older streams, "part".
    event.item = Text(o, "item");
    if (event.item.empty())
        event.item = Text(o, "part");
    // The progress row is "step"; older streams named it "row".
    event.row = Text(o, "step");
    if (event.row.empty())
        event.row = Text(o, "row");
    event.percent = Number(o, "percent");
    event.serial = Text(o, "serial");
    event.text = Text(o, "text");
    event.result = Text(o, "result");
    if (event.kind == "outcome") {
        if (event.result.empty())
            event.result = Text(o, "outcome");
        event.text = Text(o, "reason");
        event.exitCode = Number(o, "exit_code");
    }
    const auto items = o.find("items");
    if (items != o.end() && items->is_array())
        for (const auto& i : *items)
            if (i.is_string())
                event.items.push_back(i.get<std::string>());
    event.object = std::move(o);
    return true;
}

std::string WithTarget(const nlohmann::ordered_json& object, const std::string& target)
{
    nlohmann::ordered_json o = object;
    o["target"] = target;
    return o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
