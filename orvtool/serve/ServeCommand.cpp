#include "ServeCommand.h"

#include <climits>
#include <cstdint>
#include <exception>

#include "FanController.h"
#include "Log.h"
#include "SMCError.h"
#include "ServeFans.h"

namespace orvtool {

using protocol::Reply;

namespace {

// The hardware layer takes fan indices as int. An index beyond that range is rejected
// with the error the layer gives any index outside the fan count, instead of being
// narrowed into a valid index of another fan.
int fanIndex(std::int64_t fan) {
    if (fan < INT_MIN || fan > INT_MAX)
        throw SMCError::keyNotFound("F" + std::to_string(fan) + "Mn");
    return static_cast<int>(fan);
}

Reply errorReply(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e))
        return Reply::error(smc->description());
    return Reply::error(e.what());
}

}  // namespace

Reply serveCommand(const Request& request, FanController& ctl, ForcedFans& fans) {
    using Kind = Request::Kind;
    try {
        switch (request.kind) {
            case Kind::ping:
                return Reply::pong(ctl.numberOfFans());
            case Kind::set:
                return Reply::set(request.fan, ctl.setFanRPM(fanIndex(request.fan), request.rpm));
            case Kind::setUsage:
                return Reply::setUsage();
            case Kind::autoFan:
                ctl.restoreAuto(fanIndex(request.fan));
                return Reply::autoFan(request.fan);
            case Kind::autoAll:
                ctl.restoreAllAuto();
                return Reply::autoAll();
            case Kind::quit:
                fans.restoreEveryFan(ctl);  // the daemon stops and says so whatever the SMC says
                return Reply::bye();
            case Kind::hold:
            case Kind::curve:
            case Kind::curveOff:
            case Kind::floor:
            case Kind::floorOff:
            case Kind::curves:
            case Kind::status:
            case Kind::standingInvalid:
            case Kind::unknown:
                break;  // a connection's, or the daemon's standing settings: not the SMC's
        }
    } catch (const std::exception& e) {
        return errorReply(e);
    }
    return Reply::unknownCommand(request.line);
}

Reply serveCommand(const std::string& line, FanController& ctl) {
    DaemonLog log;
    ForcedFans fans(log);
    return serveCommand(parseRequest(line), ctl, fans);
}

bool rootOrOwner(long uid, long ownerUid) {
    return uid == 0 || (uid >= 0 && uid == ownerUid);
}

Reply serveRequest(const Request& request, FanController& ctl, ForcedFans& fans, long uid,
                   long ownerUid) {
    if (request.kind == Request::Kind::quit && !rootOrOwner(uid, ownerUid))
        return Reply::quitRefused();
    return serveCommand(request, ctl, fans);
}

}  // namespace orvtool
