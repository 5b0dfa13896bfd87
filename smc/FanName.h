// A fan's display name, read from its description record (the bytes of F{i}Id).
#pragma once

#include <string>

#include "SMCConnection.h"

// "Fan {fan}": the name of a fan whose record is missing or unusable.
std::string fallbackFanName(int fan);

// The name a fan's description record gives fan `fan`: a little-endian 32-bit length
// followed by that many UTF-8 bytes when the length is non-zero and fits; otherwise the
// whole record as UTF-8 with control and format characters trimmed from both ends (which
// may leave nothing). The fallback name when the record is shorter than 4 bytes or not
// valid UTF-8.
std::string fanNameFromRecord(const SMCBytes& record, int fan);

// The name the SMC gives fan `fan`: its record under F{i}Id, or under F{i}ID on machines
// that spell it so; the fallback name when neither can be read.
std::string readFanName(SMCConnection& smc, int fan);
