// The readable form of dialog changes, for the scripted front-end's record of a run.
#include "host/frontend.h"

#include "host/debug_log.h"

namespace host {
namespace {

std::string ControlLine(const char* verb, int id, const std::string& rest = "") {
    std::string line = std::string(verb) + " " + std::to_string(id);
    return rest.empty() ? line : line + " " + rest;
}

}  // namespace

const ControlState* DialogState::Find(int id) const {
    for (const ControlState& control : controls) {
        if (control.id == id)
            return &control;
    }
    return nullptr;
}

std::string DescribeChange(const DialogChange& change, const DialogState& state) {
    const ControlState* control = state.Find(change.id);
    switch (change.kind) {
        case DialogChange::kTitle:
            return "title " + QuotedText(state.title);
        case DialogChange::kRepaint:
            return "repaint";
        case DialogChange::kIcon:
            return "icon " + std::to_string(state.big_icon ? state.big_icon->id : 0) + " " +
                   std::to_string(state.small_icon ? state.small_icon->id : 0);
        case DialogChange::kCentred:
            return "centre";
        case DialogChange::kNotice:
            return "notice " + QuotedText(state.notice);
        default:
            break;
    }
    if (control == nullptr)
        return ControlLine("control", change.id);
    switch (change.kind) {
        case DialogChange::kText:
            return ControlLine("text", change.id, QuotedText(control->text));
        case DialogChange::kVisible:
            return ControlLine(control->visible ? "show" : "hide", change.id);
        case DialogChange::kEnabled:
            return ControlLine(control->enabled ? "enable" : "disable", change.id);
        case DialogChange::kRange:
            return ControlLine(
                "range", change.id,
                std::to_string(control->range_low) + ".." + std::to_string(control->range_high));
        case DialogChange::kPosition:
            return ControlLine("pos", change.id, std::to_string(control->position));
        default:
            return ControlLine("control", change.id);
    }
}

std::string QuotedText(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Narrow(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out + "\"";
}

}  // namespace host
