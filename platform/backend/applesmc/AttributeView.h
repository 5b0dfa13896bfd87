// What a process that is not root sees of the SMC: it cannot select an index, so it reads the
// keys that have their own attributes (fan speeds and names, the fan count, the manual bits,
// the labelled temperatures), encoded as the SMC would hold them; every other key is missing
// to it. Which type each of those keys has, and whether it exists, it takes from root's list
// of types (KeyTypes.h): with it, the speeds of a patched driver are "flt " and its manual bits
// are the mode keys F{i}Md, as root sees them. Until a root process has run, the mainline
// driver's forms are assumed (fpe2 speeds, the manual bits as "FS! ").
#pragma once

#include <string>

#include "Codec.h"
#include "DriverFiles.h"
#include "KeyInfo.h"
#include "KeyTypes.h"
#include "TemperatureLabels.h"

namespace applesmc {

class AttributeView {
  public:
    AttributeView(DriverFiles& files, SharedKeyTypes& types, TemperatureLabels& labels)
        : files_(files), types_(types), labels_(labels) {}

    // The key's info and value bytes; size 0 and no bytes when the key is missing here.
    kern_return_t value(const std::string& key, KeyInfo& info, Bytes& bytes);

  private:
    DriverFiles& files_;
    SharedKeyTypes& types_;
    TemperatureLabels& labels_;
};

}  // namespace applesmc
