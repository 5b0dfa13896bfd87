#include "Cli.h"

#include <exception>
#include <memory>
#include <string>

#include "Commands.h"
#include "FanController.h"
#include "Format.h"
#include "Output.h"
#include "SMCError.h"
#include "Serve.h"
#include "Signals.h"
#include "Texts.h"

namespace orvtool {

int run(int argc, char* argv[]) {
    ensureStandardStreams();
    if (argc < 2) {
        eprintRaw(texts::kUsageGeneral);
        return 1;
    }

    std::unique_ptr<FanController> ctl;
    try {
        ctl = std::make_unique<FanController>();
    } catch (const SMCError& e) {
        eprint(texts::kSMCInitFailed + e.description());
        return 1;
    } catch (const std::exception& e) {
        eprint(texts::kSMCInitFailed + std::string(e.what()));
        return 1;
    }

    const std::string command = argv[1];
    if (command == "info") {
        cmdInfo(*ctl);
        return 0;
    }
    if (command == "rpm") return cmdRpm(*ctl);
    if (command == "set") {
        const auto fan = argc == 4 ? parseInteger(argv[2]) : std::nullopt;
        const auto rpm = argc == 4 ? parseInteger(argv[3]) : std::nullopt;
        if (!fan || !rpm) {
            eprintRaw(texts::kUsageSet);
            return 1;
        }
        return cmdSet(*ctl, *fan, *rpm);
    }
    if (command == "auto") return cmdAuto(*ctl);
    if (command == "watch") {
        const auto seconds = argc == 3 ? parseNumber(argv[2]) : std::nullopt;
        if (!seconds) {
            eprintRaw(texts::kUsageWatch);
            return 1;
        }
        // 0 after a full run; 1 for a duration out of range or an output that failed.
        return cmdWatch(*ctl, *seconds);
    }
    if (command == "serve") {
        cmdServe(*ctl);
        return 1;
    }
    eprint(texts::kUnknownSubcommand + command);
    eprintRaw(texts::kUsageGeneral);
    return 1;
}

}  // namespace orvtool
