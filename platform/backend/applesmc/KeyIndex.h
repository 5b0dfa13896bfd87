// The key index through the driver: "#KEY" is the driver's key_count, and the by-index read
// (command 8) selects the index and reads the key's name, for root. A process that cannot
// select sees an index of the keys it can read through their own attributes: the labelled
// temperatures, sorted by name.
#pragma once

#include <cstdint>

#include "Selection.h"
#include "TemperatureLabels.h"

namespace applesmc {

class KeyIndex {
  public:
    KeyIndex(KeySelection& selection, TemperatureLabels& labels, bool privileged)
        : selection_(selection), labels_(labels), privileged_(privileged) {}

    // "#KEY" read or looked up; any other command is a bad one.
    kern_return_t countKey(std::uint8_t command, SMCBlock& output);
    // The name of the key at `index`, or the result byte of a missing key past the last.
    kern_return_t keyAt(std::uint32_t index, SMCBlock& output);

  private:
    KeySelection& selection_;
    TemperatureLabels& labels_;
    bool privileged_;
};

}  // namespace applesmc
