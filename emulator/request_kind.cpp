#include "emulator/request_kind.hpp"

#include <algorithm>

namespace board {

namespace {

struct KindName {
    RequestKind kind;
    const char* name;
};

const KindName NAMES[] = {
    {RequestKind::Init, "init"},     {RequestKind::Write, "write"}, {RequestKind::WriteAck, "write-ack"},
    {RequestKind::Read, "read"},     {RequestKind::Stream, "stream"}, {RequestKind::Done, "done"},
    {RequestKind::Start, "start"},
};

}  // namespace

const std::vector<RequestKind> DROPPABLE_KINDS = {RequestKind::Init, RequestKind::Write,  RequestKind::WriteAck,
                                                  RequestKind::Read, RequestKind::Stream, RequestKind::Done};
const std::vector<RequestKind> SHORTENABLE_KINDS = {RequestKind::Init, RequestKind::WriteAck, RequestKind::Read};
const std::vector<RequestKind> REPLY_FAULT_KINDS = {RequestKind::Init, RequestKind::WriteAck, RequestKind::Read,
                                                    RequestKind::Stream, RequestKind::Start};

const char* kind_name(RequestKind kind) {
    for (const KindName& entry : NAMES)
        if (entry.kind == kind) return entry.name;
    return "?";
}

std::optional<RequestKind> kind_named(const std::string& name, const std::vector<RequestKind>& allowed) {
    for (RequestKind kind : allowed)
        if (name == kind_name(kind)) return kind;
    return std::nullopt;
}

std::string kinds_listed(const std::vector<RequestKind>& kinds) {
    std::string text;
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (i > 0) text += i + 1 == kinds.size() ? " or " : ", ";
        text += kind_name(kinds[i]);
    }
    return text;
}

}  // namespace board
