// The SMC's command codes (defined with the parameter block, SMCBlock.h), and reading one
// from a raw byte.
#pragma once

#include <cstdint>
#include <optional>

#include "SMCBlock.h"

// The command with this raw value; none for any byte other than 5, 6, 8 and 9.
std::optional<SMCCommand> smcCommandFromRaw(std::uint8_t raw);
