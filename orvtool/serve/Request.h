// The daemon's requests: a received line as the trimmed text of a request, and that text
// as the request it is, with its numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Curves.h"

namespace orvtool {

// The request text of one received line (line feed removed): nothing when the bytes are
// not valid UTF-8 or nothing is left after trimming space separators (Zs) and tabs from
// both ends. Carriage return and other characters are kept.
std::optional<std::string> requestText(std::string_view line);

// One request. Its words are split at every space (runs of spaces are one separator, a tab
// is part of a word); the first word is the command, compared exactly.
struct Request {
    enum class Kind {
        ping,             // "ping", further words ignored
        set,              // "set <fan> <rpm>", both whole numbers
        setUsage,         // "set" in any other form
        autoFan,          // "auto <fan>", the fan a whole number
        autoAll,          // "auto" in any other form
        quit,             // "quit", further words ignored
        hold,             // "hold", further words ignored: concerns its connection
        curve,            // "curve <fan> <source> <t>:<rpm> ...": `standing` holds it
        curveOff,         // "curve <fan> off"
        floor,            // "floor <fan> <rpm>": `standing` holds it
        floorOff,         // "floor <fan> off"
        curves,           // "curves", further words ignored
        status,           // "status", further words ignored: the daemon's state
        standingInvalid,  // "curve" or "floor" in any other form: `problem` says why
        unknown,          // anything else
    };

    Kind kind = Kind::unknown;
    std::int64_t fan = 0;                        // set, autoFan, curveOff, floorOff
    std::int64_t rpm = 0;                        // set
    std::optional<protocol::Standing> standing;  // curve, floor
    protocol::StandingProblem problem;           // standingInvalid
    bool floorCommand = false;                   // standingInvalid: the request was `floor`
    std::string line;                            // the whole trimmed text
};

Request parseRequest(std::string line);

}  // namespace orvtool
