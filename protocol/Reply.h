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
    curve,             // "OK curve fan=F": the fan follows the curve asked
    curveOff,          // "OK curve off fan=F": the fan's curve ended (or it had none)
    floor,             // "OK floor fan=F rpm=R": the fan's floor is R
    floorOff,          // "OK floor off fan=F": the fan's floor ended (or it had none)
    curves,            // "OK curves ...": every standing setting (text: their words, joined)
    status,            // "OK status {...}": the daemon's state (text: the JSON, Status.h)
    busy,              // the connection is over the daemon's limits
    quitRefused,       // `quit` from someone who may not stop the daemon
    setUsage,          // a `set` whose words are not two whole numbers
    tooHot,            // a `set` below the maximum while the heat guard holds
    standingInvalid,   // a curve or floor refused and not stored (text: the reason)
    standingRefused,   // a curve or floor from someone who may not set one
    followsCurve,      // someone else's `set` or `auto` of a fan that follows a curve
    hasFloor,          // the same for a fan that has a floor
    writeRefused,      // the SMC refused a write (privilege)
    writeUnsupported,  // the SMC refused a write root could not make either
    smcError,          // any other failure of the hardware layer
    unknownCommand,    // a request the daemon does not know
    otherOK,           // a line starting "OK" of no kind above (a newer daemon's)
    malformed,         // neither "OK" nor "ERR" starts it
};

struct Reply {
    ReplyKind kind = ReplyKind::malformed;
    std::int64_t fan = 0;    // set, autoFan, curve, curveOff, floor, floorOff, followsCurve,
                             // hasFloor
    std::int64_t rpm = 0;    // set, floor
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
    static Reply curve(std::int64_t fan) { return {ReplyKind::curve, fan, 0, 0, {}}; }
    static Reply curveOff(std::int64_t fan) { return {ReplyKind::curveOff, fan, 0, 0, {}}; }
    static Reply floor(std::int64_t fan, std::int64_t rpm) {
        return {ReplyKind::floor, fan, rpm, 0, {}};
    }
    static Reply floorOff(std::int64_t fan) { return {ReplyKind::floorOff, fan, 0, 0, {}}; }
    // `settings`: the words of each, already joined (empty: none).
    static Reply curves(std::string settings) {
        return {ReplyKind::curves, 0, 0, 0, std::move(settings)};
    }
    static Reply status(std::string json) { return {ReplyKind::status, 0, 0, 0, std::move(json)}; }
    static Reply standingInvalid(std::string reason) {
        return {ReplyKind::standingInvalid, 0, 0, 0, std::move(reason)};
    }
    static Reply standingRefused() { return {ReplyKind::standingRefused, 0, 0, 0, {}}; }
    static Reply followsCurve(std::int64_t fan) { return {ReplyKind::followsCurve, fan, 0, 0, {}}; }
    static Reply hasFloor(std::int64_t fan) { return {ReplyKind::hasFloor, fan, 0, 0, {}}; }
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
