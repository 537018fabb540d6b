#pragma once
// What the station parent reads from a worker's --json event stream: one
// line, one event. Only the fields the parent acts on are taken; the event
// itself is kept whole so that it can be passed on with the target added.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

struct CWorkerEvent {
    std::string
        kind; // "note", "message", "target", "plan", "item_start", "progress", "item_result", "outcome", ...
    std::string item;               // the item or part the event concerns ("MAIN", "CIS M", "CDM")
    std::string row;                // progress: the step ("Data Download", "Erase" ...)
    int percent = -1;               // progress
    std::string result;             // item_result: "Complete", "Upgrade fail", "Skipped"; outcome: its name
    std::string serial;             // target
    std::string text;               // message, note; outcome: the reason
    std::vector<std::string> items; // plan
    int exitCode = -1;              // outcome
    nlohmann::ordered_json object;  // the whole event
};

// False for a line that is not a JSON object with an event name.
bool ParseWorkerEvent(const std::string& line, CWorkerEvent& event);

// The event as one line of JSON, with "target" set to target.
std::string WithTarget(const nlohmann::ordered_json& object, const std::string& target);
