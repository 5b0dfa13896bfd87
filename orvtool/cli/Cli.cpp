#include "Cli.h"

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "ControlProtocol.h"
#include "DaemonClient.h"
#include "DaemonCommands.h"
#include "FanController.h"
#include "Format.h"
#include "JsonOutput.h"
#include "Metrics.h"
#include "Output.h"
#include "Paths.h"
#include "RecordTexts.h"
#include "SMCError.h"
#include "Serve.h"
#include "Signals.h"
#include "Status.h"
#include "Texts.h"

namespace orvtool {

namespace {

// The status of a command that prints results: 1 with a message when any of its output was
// lost, so that a full disk or a closed stream is never taken for a result. The commands
// that change the fans (set, auto, curve, floor) keep their status, which says what
// happened to the fans: a lost report of a change that was made is only the message.
int withOutputChecked(Output& out, int status, bool changesFans) {
    if (out.flushStdout()) return status;
    out.eprint(stdoutFailureText(out.stdoutError()));
    return changesFans ? status : 1;
}

int dispatch(Output& out, int argc, char* argv[]);

// The commands that print readings take --json anywhere after their name.
bool takesJson(const std::string& command) {
    return command == "info" || command == "rpm" || command == "sensors" || command == "watch" ||
           command == protocol::kCurves || command == protocol::kStatus;
}

bool changesFans(std::string_view command) {
    return command == "set" || command == "auto" || command == protocol::kCurve ||
           command == protocol::kFloor;
}

// The requests to the daemon, which need no SMC; none when `command` is not one.
std::optional<int> dispatchToDaemon(Output& out, const std::string& command,
                                    const std::vector<std::string>& words, bool json) {
    const bool curve = command == protocol::kCurve;
    if (curve || command == protocol::kFloor) {
        if (curve ? !isCurveShape(words) : !isFloorShape(words)) {
            out.eprintRaw(curve ? texts::kUsageCurve : texts::kUsageFloor);
            return 1;
        }
        return cmdStanding(DaemonClient(), out, curve ? protocol::kCurve : protocol::kFloor, words);
    }
    if (command == protocol::kCurves) {
        if (!words.empty()) {
            out.eprintRaw(texts::kUsageCurves);
            return 1;
        }
        return cmdCurves(DaemonClient(), out, json);
    }
    if (command == protocol::kStatus) {
        if (!words.empty()) {
            out.eprintRaw(texts::kUsageStatus);
            return 1;
        }
        return cmdStatus(DaemonClient(), out, json);
    }
    return std::nullopt;
}

}  // namespace

int run(int argc, char* argv[]) {
    Output out;
    if (ensureStandardStreams() & (1 << STDOUT_FILENO)) out.markStdoutClosed();
    // A reader that went away shows as a failed write (EPIPE), reported like any other,
    // instead of a signal ending the tool with a status other than 0 and 1.
    ::signal(SIGPIPE, SIG_IGN);
    return withOutputChecked(out, dispatch(out, argc, argv), argc >= 2 && changesFans(argv[1]));
}

namespace {

int dispatch(Output& out, int argc, char* argv[]) {
    if (argc < 2) {
        out.eprintRaw(texts::kUsageGeneral);
        return 1;
    }

    const std::string command = argv[1];
    // The arguments without --json, for the commands that take it.
    std::vector<char*> args(argv, argv + 2);
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (takesJson(command) && std::string(argv[i]) == "--json")
            json = true;
        else
            args.push_back(argv[i]);
    }
    argc = static_cast<int>(args.size());
    argv = args.data();
    if (const auto status =
            dispatchToDaemon(out, command, std::vector<std::string>(argv + 2, argv + argc), json))
        return *status;
    // metrics opens the SMC itself: one it cannot read is a result (orvane_up 0).
    if (command == "metrics")
        return cmdMetrics(out, std::vector<std::string>(argv + 2, argv + argc));
    // The commands that write to the SMC keep the boot's record of original minimums, when
    // run by root (nobody else can write the SMC or the record).
    FanController::Options options;
    options.keepRecord =
        (command == "set" || command == "auto" || command == "serve") && ::geteuid() == 0;
    std::unique_ptr<FanController> ctl;
    try {
        ctl = std::make_unique<FanController>(options);
    } catch (const SMCError& e) {
        out.eprint(texts::kSMCInitFailed + e.description());
        return 1;
    } catch (const std::exception& e) {
        out.eprint(texts::kSMCInitFailed + std::string(e.what()));
        return 1;
    }
    const std::string ignored =
        recordTexts::ignoredWarning(ctl->recordProblem(), paths::kMinimumRecordPath);
    if (!ignored.empty()) out.eprint(ignored);
    if (ctl->recordWriteError() != 0) {
        out.eprint(texts::kRecordWriteFailed + std::to_string(ctl->recordWriteError()) +
                   texts::kRecordWriteFailedTail + paths::kMinimumRecordPath);
    }

    if (command == "info") return json ? cmdInfoJson(*ctl, out) : cmdInfo(*ctl, out);
    if (command == "rpm") return json ? cmdRpmJson(*ctl, out) : cmdRpm(*ctl, out);
    if (command == "sensors") return json ? cmdSensorsJson(*ctl, out) : cmdSensors(*ctl, out);
    if (command == "set") {
        const auto fan = argc == 4 ? parseInteger(argv[2]) : std::nullopt;
        const auto rpm = argc == 4 ? parseInteger(argv[3]) : std::nullopt;
        if (!fan || !rpm) {
            out.eprintRaw(texts::kUsageSet);
            return 1;
        }
        return cmdSet(*ctl, out, *fan, *rpm);
    }
    if (command == "auto") return cmdAuto(*ctl, out);
    if (command == "watch") {
        const auto seconds = argc == 3 ? parseNumber(argv[2]) : std::nullopt;
        if (!seconds) {
            out.eprintRaw(texts::kUsageWatch);
            return 1;
        }
        // 0 after a full run; 1 for a duration out of range or an output that failed.
        return json ? cmdWatchJson(*ctl, out, *seconds) : cmdWatch(*ctl, out, *seconds);
    }
    if (command == "serve") return cmdServe(*ctl);
    out.eprint(texts::kUnknownSubcommand + command);
    out.eprintRaw(texts::kUsageGeneral);
    return 1;
}

}  // namespace

}  // namespace orvtool
