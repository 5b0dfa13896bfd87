// The application's reading of a daemon reply: the input arrives in pieces (each piece
// prefixed by its length byte), read until a line feed or the end of the input as the
// client does, then cut to the first line and read as a reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "DaemonReply.h"
#include "Reply.h"
#include "Status.h"
#include "Unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string received;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t piece = std::min<std::size_t>(data[i] + 1u, size - i - 1);
        received.append(reinterpret_cast<const char*>(data + i + 1), piece);
        i += 1 + piece;
        if (replyComplete(received)) break;
    }
    const auto line = replyLine(received);
    if (line) {
        if (line->find('\n') != std::string::npos) std::abort();
        if (!unicode::isValidUTF8(*line)) std::abort();
        if (received.compare(0, line->size(), *line) != 0) std::abort();
    }
    if (!line) return 0;
    // A success is exactly a line starting "OK", whatever follows.
    const protocol::Reply reply = protocol::parseReply(*line);
    if (protocol::isOK(reply.kind) != line->starts_with("OK")) std::abort();
    // A status report that reads is written back as one line that reads as the same report.
    if (reply.kind == protocol::ReplyKind::status) {
        if (const auto report = protocol::parseStatus(reply.text)) {
            const std::string again = protocol::formatStatus(*report);
            if (again.find('\n') != std::string::npos) std::abort();
            if (protocol::parseStatus(again) != report) std::abort();
        }
    }
    return 0;
}
