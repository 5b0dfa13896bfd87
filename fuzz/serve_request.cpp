// The daemon's request handling: the input arrives in pieces (each prefixed by its length
// byte), is framed into lines with the daemon's bound, and every line is trimmed and
// interpreted against a controller on an in-process two-fan SMC, as serveConnection does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FakeSMC.h"
#include "FanController.h"
#include "Request.h"
#include "RequestFramer.h"
#include "ServeCommand.h"
#include "ServeLimits.h"
#include "TempRecord.h"
#include "Unicode.h"

namespace {

std::vector<std::uint8_t> fpe2(int rpm) {
    return {static_cast<std::uint8_t>(rpm * 4 >> 8), static_cast<std::uint8_t>(rpm * 4)};
}

// A two-fan machine with mode keys; the values writes leave behind carry over between
// inputs.
FakeSMC& makeSMC() {
    static FakeSMC smc;
    smc.addKey("FNum", "ui8 ", {2});
    for (const std::string f : {"F0", "F1"}) {
        smc.addKey(f + "Ac", "fpe2", fpe2(2000));
        smc.addKey(f + "Mn", "fpe2", fpe2(1200));
        smc.addKey(f + "Mx", "fpe2", fpe2(6000));
        smc.addKey(f + "Tg", "fpe2", fpe2(0));
        smc.addKey(f + "Md", "ui8 ", {0});
    }
    smc.addKey("FS! ", "ui16", {0, 0});
    return smc;
}

// One SMC and one controller for the whole run (static objects: the SMC's socket
// directory is removed when the run ends).
FanController& controller() {
    static FakeSMC& smc = makeSMC();
    static FanController ctl(noRecord());  // never the machine's own record
    smc.clearBlocks();  // it records every call; keep memory flat over a long run
    return ctl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FanController& ctl = controller();
    orvtool::RequestFramer framer(orvtool::ServeLimits{}.maxPending);
    std::size_t i = 0;
    while (i < size) {
        const std::size_t piece = std::min<std::size_t>(data[i] + 1u, size - i - 1);
        framer.append(std::string_view(reinterpret_cast<const char*>(data + i + 1), piece));
        i += 1 + piece;
        while (const auto raw = framer.nextLine()) {
            if (raw->find('\n') != std::string_view::npos) std::abort();
            const auto request = orvtool::requestText(*raw);
            if (!request) continue;
            if (request->empty() || !unicode::isValidUTF8(*request)) std::abort();
            const std::string reply = protocol::formatReply(orvtool::serveCommand(*request, ctl));
            // One reply line per request, and always an answer of the protocol.
            if (reply.find('\n') != std::string::npos) std::abort();
            if (!reply.starts_with("OK ") && !reply.starts_with("ERR ")) std::abort();
            if (reply == "OK bye") return 0;
        }
        if (framer.overlong()) return 0;
    }
    return 0;
}
