// The boot-scoped record of each fan's original minimum-speed bytes (F{i}Mn).
//
// On machines without mode keys a fan is forced by raising its minimum, and handed back
// by writing the original bytes again. A process that starts while a fan is forced would
// capture the raised value, so the first root process of a boot that captures the bytes
// writes them here, and every later process restores from the record. The record lives in
// a directory the system clears at boot (paths::kMinimumRecordPath, under /run, or /var/run
// on macOS), as the SMC itself returns to its factory minimums at boot.
//
// Root never follows a link here: the directory and the file are opened without following
// links and must be owned by root (or by the reading user, whom nobody else can plant
// a file for) and writable by their owner only. The file is replaced atomically.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "SMCConnection.h"

// The original minimum bytes of every fan, by index; none for a fan whose minimum was
// never captured.
struct MinimumRecord {
    std::vector<std::optional<SMCBytes>> minimums;

    bool operator==(const MinimumRecord&) const = default;
};

// Why a record was not used. `missing` is the normal case of a fresh boot and no warning.
enum class RecordProblem {
    none,
    missing,     // no file
    unsafe,      // a link, not a regular file or directory, wrong owner, writable by others
    unreadable,  // cannot be opened or read
    malformed,   // not in the record's format
    fanCount,    // made for another number of fans
    sizes,       // a fan's bytes do not have the size its key has
};

struct RecordRead {
    std::optional<MinimumRecord> record;
    RecordProblem problem = RecordProblem::missing;
};

// The record's text, and back; nothing when the text is not exactly in the format.
std::string encodeMinimumRecord(const MinimumRecord& record);
std::optional<MinimumRecord> parseMinimumRecord(const std::string& text);

// Reads the record at `path`; never throws.
RecordRead readMinimumRecord(const std::string& path);

// Whether a record fits the machine: the same fan count, and every recorded fan's bytes of
// the size its minimum key reports (`sizes[i]`; none when the size cannot be told, which
// accepts any).
RecordProblem checkMinimumRecord(const MinimumRecord& record, int fanCount,
                                 const std::vector<std::optional<std::uint32_t>>& sizes);

// The directory that holds `path` (the record, or a file kept beside it), opened without
// following a link and only when root or this process's user owns it and nobody else may
// write to it; created (mode 0755) when missing and `create` is set. A descriptor the
// caller closes, with the file's own name in `name`; -1 with errno set otherwise (EPERM
// when the directory is there but cannot be trusted).
int openRecordDirectory(const std::string& path, bool create, std::string& name);

// Replaces the record at `path` atomically (a new file in the same directory, synced, then
// renamed over the old one), creating the last directory of the path (mode 0755) when it
// is missing. 0 on success, else an errno value (EPERM for an unsafe directory).
int writeMinimumRecord(const std::string& path, const MinimumRecord& record);
