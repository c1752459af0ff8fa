// The kinds of request the emulated board tells apart, with the names the
// options, the settings, the log and the counters use for them. Start is not
// a command of its own: it is an acknowledged write that starts the core,
// named where a reply fault can single it out.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace board {

enum class RequestKind { Init, Write, WriteAck, Read, Stream, Done, Start };

const char* kind_name(RequestKind kind);
// The kind of that name among `allowed`; nothing when the name is not one of them.
std::optional<RequestKind> kind_named(const std::string& name, const std::vector<RequestKind>& allowed);
// "init, write-ack or read": the names of `kinds` for a message.
std::string kinds_listed(const std::vector<RequestKind>& kinds);

// Kinds whose N-th request can be dropped (--drop-nth).
extern const std::vector<RequestKind> DROPPABLE_KINDS;
// Kinds whose N-th reply can be cut short (--short-nth).
extern const std::vector<RequestKind> SHORTENABLE_KINDS;
// Kinds whose N-th reply can be held back or left out (--delay-nth, --drop-nth-reply).
extern const std::vector<RequestKind> REPLY_FAULT_KINDS;

}  // namespace board
