#include "DaemonReply.h"

#include "Unicode.h"

bool replyComplete(std::string_view received) {
    return received.find('\n') != std::string_view::npos;
}

std::optional<std::string> replyLine(std::string_view received) {
    const std::string first(received.substr(0, received.find('\n')));
    if (!unicode::isValidUTF8(first)) return std::nullopt;
    return first;
}
