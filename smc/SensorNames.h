// Names for the SMC's well-known temperature keys, from the key lists published for
// Intel Macs. Keys the table does not know have no name.
#pragma once

#include <string>
#include <string_view>

// The sensor's name, or an empty string for a key the table does not know.
std::string sensorName(std::string_view key);
