#include "OriginalMinimums.h"

#include <cmath>
#include <cstdint>

#include "FanKeys.h"
#include "Paths.h"
#include "SMCCodec.h"

OriginalMinimums::OriginalMinimums(SMCConnection& smc, int fanCount, const std::string& recordPath,
                                   bool keepRecord)
    : bytes_(fanCount) {
    for (int i = 0; i < fanCount; ++i) {
        bytes_[i] = smc.tryReadBytes(FanKeys::mnKey(i));
        if (bytes_[i] && bytes_[i]->empty()) bytes_[i].reset();
    }
    applyRecord(smc, recordPath.empty() ? std::string(paths::kMinimumRecordPath) : recordPath,
                keepRecord);
}

// Takes the original minimums from the boot's record when it fits this machine; a fan the
// record lacks keeps what was read at start. The record is written when none fits, or
// when this process captured a minimum the record lacks.
void OriginalMinimums::applyRecord(SMCConnection& smc, const std::string& path, bool keepRecord) {
    const int fanCount = static_cast<int>(bytes_.size());
    RecordRead read = readMinimumRecord(path);
    recordProblem_ = read.problem;
    if (read.record) {
        std::vector<std::optional<std::uint32_t>> sizes(fanCount);
        for (int i = 0; i < fanCount; ++i) {
            try {
                sizes[i] = smc.readKeyInfo(FanKeys::mnKey(i)).first;
            } catch (const SMCError&) {
                // A size that cannot be told accepts the recorded bytes.
            }
        }
        recordProblem_ = checkMinimumRecord(*read.record, fanCount, sizes);
        if (recordProblem_ != RecordProblem::none) read.record.reset();
    }

    bool captured = false;
    bool added = false;
    for (int i = 0; i < fanCount; ++i) {
        captured = captured || bytes_[i].has_value();
        if (!read.record) continue;
        const auto& recorded = read.record->minimums[i];
        if (recorded && !recorded->empty()) {
            bytes_[i] = recorded;
        } else if (bytes_[i]) {
            added = true;
        }
    }
    if (keepRecord && captured && (!read.record || added))
        recordWriteError_ = writeMinimumRecord(path, MinimumRecord{bytes_});
}

const std::optional<SMCBytes>& OriginalMinimums::of(int fan) const {
    static const std::optional<SMCBytes> none;
    return fan >= 0 && static_cast<std::size_t>(fan) < bytes_.size() ? bytes_[fan] : none;
}

// A driver that takes speeds in whole rpm (the Linux applesmc driver) hands a fractional
// original back as its whole part: that minimum is the original too, or the fan would count
// as forced for good. A minimum of any other value, fractional or not, is not.
bool OriginalMinimums::isOriginal(SMCConnection& smc, int fan, const SMCBytes& mn) const {
    const auto& orig = of(fan);
    if (!orig) return false;
    if (mn == *orig) return true;
    const std::string key = FanKeys::mnKey(fan);
    const auto original = decodeAsReported(smc, key, *orig);
    const auto now = decodeAsReported(smc, key, mn);
    return original && now && std::isfinite(*original) && *original >= 0 &&
           *now == std::trunc(*original);
}

std::optional<double> decodeAsReported(SMCConnection& smc, const std::string& key,
                                       const SMCBytes& bytes) {
    try {
        const auto info = smc.readKeyInfo(key);
        if (info.first == 0) return std::nullopt;
        return SMCCodec::decode(bytes, info.second);
    } catch (const SMCError&) {
        return std::nullopt;
    }
}
