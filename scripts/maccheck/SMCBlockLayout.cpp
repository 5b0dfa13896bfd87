// The SMC parameter block written as the C structure the AppleSMC user client reads,
// compiled for the Mac target: its natural layout must put every field where the hardware
// layer packs it (platform/backend/SMCBlock.h).
#include <cstddef>
#include <cstdint>

#include "SMCBlock.h"

namespace {

struct Version {
    char major;
    char minor;
    char build;
    char reserved;
    std::uint16_t release;
};

struct PowerLimitData {
    std::uint16_t version;
    std::uint16_t length;
    std::uint32_t cpuPLimit;
    std::uint32_t gpuPLimit;
    std::uint32_t memPLimit;
};

struct KeyInfo {
    std::uint32_t dataSize;
    std::uint32_t dataType;
    char dataAttributes;
};

struct ParamBlock {
    std::uint32_t key;
    Version vers;
    PowerLimitData pLimitData;
    KeyInfo keyInfo;
    char result;
    char status;
    char data8;
    std::uint32_t data32;
    std::uint8_t bytes[32];
};

static_assert(sizeof(Version) == 6);
static_assert(sizeof(PowerLimitData) == 16);
static_assert(sizeof(ParamBlock) == kSMCBlockSize, "block size");
static_assert(sizeof(ParamBlock) == sizeof(SMCBlock), "block size");
static_assert(offsetof(ParamBlock, key) == kSMCKeyOffset, "key");
static_assert(offsetof(ParamBlock, keyInfo) + offsetof(KeyInfo, dataSize) == kSMCDataSizeOffset,
              "keyInfo.dataSize");
static_assert(offsetof(ParamBlock, keyInfo) + offsetof(KeyInfo, dataType) == kSMCDataTypeOffset,
              "keyInfo.dataType");
static_assert(offsetof(ParamBlock, result) == kSMCResultOffset, "result");
static_assert(offsetof(ParamBlock, data8) == kSMCCommandOffset, "data8 (the command)");
static_assert(offsetof(ParamBlock, data32) == kSMCData32Offset, "data32");
static_assert(offsetof(ParamBlock, bytes) == kSMCBytesOffset, "bytes");
static_assert(sizeof(ParamBlock::bytes) == kSMCMaxBytes, "bytes");

}  // namespace
