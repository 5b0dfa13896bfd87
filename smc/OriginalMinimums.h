// Each fan's original minimum-speed bytes (F{i}Mn): what a fan forced through its minimum
// is handed back with, and what tells such a fan from one the machine controls.
//
// They are read from the SMC when a controller starts, and taken from the boot's record
// (MinimumRecord.h) when a valid one fits the machine, since a process that starts while
// a fan is forced would read the raised value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MinimumRecord.h"
#include "SMCConnection.h"

class OriginalMinimums {
  public:
    OriginalMinimums() = default;
    // Reads F{i}Mn of every fan (an empty reading counts as none), then takes the bytes
    // the record at `recordPath` holds for each fan when the record fits this machine; a
    // fan the record lacks keeps what was read. With `keepRecord` the record is written
    // when none fits, or when a minimum was read that the record lacks.
    OriginalMinimums(SMCConnection& smc, int fanCount, const std::string& recordPath,
                     bool keepRecord);

    // The fan's original bytes; none when never captured or outside 0 to fanCount-1.
    const std::optional<SMCBytes>& of(int fan) const;
    // Whether `mn`, the fan's minimum now, is its original minimum: the very bytes, or the
    // original's whole rpm (what a hand-back leaves where the SMC is reached through a
    // driver that writes whole rpm). False when the original is unknown.
    bool isOriginal(SMCConnection& smc, int fan, const SMCBytes& mn) const;

    // Why the record was not used; none or missing need no warning.
    RecordProblem recordProblem() const { return recordProblem_; }
    // The errno of a failed attempt to write the record; 0 when none failed.
    int recordWriteError() const { return recordWriteError_; }

  private:
    void applyRecord(SMCConnection& smc, const std::string& path, bool keepRecord);

    std::vector<std::optional<SMCBytes>> bytes_;
    RecordProblem recordProblem_ = RecordProblem::missing;
    int recordWriteError_ = 0;
};

// The bytes decoded with the type the SMC reports for `key`; none when either fails.
std::optional<double> decodeAsReported(SMCConnection& smc, const std::string& key,
                                       const SMCBytes& bytes);
