// Reading the control daemon's reply from the bytes received on one connection, and
// judging it. Pure functions, shared by DaemonClient and its fuzz target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether the bytes received so far hold a whole reply line (a line feed arrived).
bool replyComplete(std::string_view received);

// The first reply line of everything received (up to the first line feed, without it, or
// all of it when none came); none when that line is not valid UTF-8.
std::optional<std::string> replyLine(std::string_view received);

// Whether a reply line says the daemon is alive: it starts with "OK".
bool isAliveReply(const std::optional<std::string>& line);
