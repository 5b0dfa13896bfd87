// The commands that are requests to the control daemon: a fan's standing setting (`curve`,
// `floor`), their list (`curves`) and the daemon's state (`status`). They open no SMC: each sends
// one line through the daemon client and prints what the daemon answered, on standard output when
// it is "OK…", else on standard error. The status is 0 for an "OK…" reply and 1 otherwise, or when
// no trusted daemon answered in time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class DaemonClient;

namespace orvtool {

class Output;

// Whether the words after `curve` have the request's shape: `<fan> off`, or a fan, a source
// and 2 to 8 points. What the words say is the daemon's to judge; each word must be
// non-empty and free of spaces and control characters, so that the words the daemon reads
// are the ones given.
bool isCurveShape(const std::vector<std::string>& words);
// The same for `floor`: `<fan> <rpm>` or `<fan> off`.
bool isFloorShape(const std::vector<std::string>& words);

// Sends `command` (`curve` or `floor`) and its words as one request; prints the reply line.
int cmdStanding(const DaemonClient& client, Output& out, std::string_view command,
                const std::vector<std::string>& words);
// Lists every standing setting, one a line, or a line saying there is none; with json, a
// JSON array of {"fan", "kind", "source", "points": [{"celsius", "rpm"}], "floor_rpm"}.
int cmdCurves(const DaemonClient& client, Output& out, bool json);
// The daemon's state (`status`): a table of the fans and lines for the rest (StatusTable.h);
// with json, the object exactly as the daemon sent it. A reply whose object does not read
// as a status is an error, with or without json.
int cmdStatus(const DaemonClient& client, Output& out, bool json);

}  // namespace orvtool
