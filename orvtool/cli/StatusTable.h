// `orvtool status` without --json: the daemon's state (protocol/Status.h) as lines for a
// terminal. The fans are a table, a row each, its columns padded to their widest cell as a
// terminal shows it (a CJK character takes two columns); the leases, the heat guard, the
// counts and the daemon follow, a line each. Texts from the SMC or the daemon have their
// control characters escaped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Status.h"

namespace orvtool {

std::vector<std::string> statusLines(const protocol::StatusReport& report);

// The columns a terminal gives `text` (UTF-8), as the C library's wcwidth counts them: two
// for East Asian wide characters, none for combining marks.
std::size_t displayWidth(std::string_view text);

}  // namespace orvtool
