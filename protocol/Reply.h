// The daemon's replies as values: the daemon builds one for each request it served and sends
// its text (formatReply); the application reads a received line back into one (parseReply)
// and reacts to its kind. The wire texts are the ones in ControlProtocol.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace protocol {

enum class ReplyKind {
    pong,              // "OK pong fans=N"
    set,               // "OK set fan=F rpm=R": the fan forced at the speed written
    autoFan,           // "OK auto fan=F": one fan handed back
    autoAll,           // "OK auto all": every fan handed back
    bye,               // "OK bye": the daemon stops
    hold,              // "OK hold grace=S": the connection is a lease
    busy,              // the connection is over the daemon's limits
    quitRefused,       // `quit` from someone who may not stop the daemon
    setUsage,          // a `set` whose words are not two whole numbers
    tooHot,            // a `set` below the maximum while the heat guard holds
    writeRefused,      // the SMC refused a write (privilege)
    writeUnsupported,  // the SMC refused a write root could not make either
    smcError,          // any other failure of the hardware layer
    unknownCommand,    // a request the daemon does not know
    otherOK,           // a line starting "OK" of no kind above (a newer daemon's)
    malformed,         // neither "OK" nor "ERR" starts it
};

struct Reply {
    ReplyKind kind = ReplyKind::malformed;
    std::int64_t fan = 0;    // set, autoFan
    std::int64_t rpm = 0;    // set
    std::int64_t count = 0;  // pong: the fan count; hold: the grace in seconds
    std::string text;        // the error's description, the unknown request, or the whole
                             // line of an otherOK or malformed reply

    static Reply pong(std::int64_t fans) { return {ReplyKind::pong, 0, 0, fans, {}}; }
    static Reply set(std::int64_t fan, std::int64_t rpm) {
        return {ReplyKind::set, fan, rpm, 0, {}};
    }
    static Reply autoFan(std::int64_t fan) { return {ReplyKind::autoFan, fan, 0, 0, {}}; }
    static Reply autoAll() { return {ReplyKind::autoAll, 0, 0, 0, {}}; }
    static Reply bye() { return {ReplyKind::bye, 0, 0, 0, {}}; }
    static Reply hold(std::int64_t graceSeconds) {
        return {ReplyKind::hold, 0, 0, graceSeconds, {}};
    }
    static Reply busy() { return {ReplyKind::busy, 0, 0, 0, {}}; }
    static Reply quitRefused() { return {ReplyKind::quitRefused, 0, 0, 0, {}}; }
    static Reply setUsage() { return {ReplyKind::setUsage, 0, 0, 0, {}}; }
    static Reply tooHot() { return {ReplyKind::tooHot, 0, 0, 0, {}}; }
    // A failure of the hardware layer with its description: classified by the description's
    // words, as a client that sees only the line does, so both sides agree on the kind.
    static Reply error(std::string description);
    static Reply unknownCommand(std::string request) {
        return {ReplyKind::unknownCommand, 0, 0, 0, std::move(request)};
    }
};

// The reply's line, without its line feed.
std::string formatReply(const Reply& reply);

// A received line (without its line feed) as a reply. A line that formatReply could not
// have made is otherOK or malformed, with the line as its text; an "ERR " line that is none
// of the daemon's fixed refusals is an error classified by its words.
Reply parseReply(std::string_view line);

// Whether the kind is a success ("OK…").
bool isOK(ReplyKind kind);

}  // namespace protocol
