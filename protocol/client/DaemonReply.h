// Framing the control daemon's reply: the first line out of the bytes received on one
// connection. What the line says is protocol::parseReply's. Pure functions, shared by
// DaemonClient, the application's lease and their fuzz target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether the bytes received so far hold a whole reply line (a line feed arrived).
bool replyComplete(std::string_view received);

// The first reply line of everything received (up to the first line feed, without it, or
// all of it when none came); none when that line is not valid UTF-8.
std::optional<std::string> replyLine(std::string_view received);
