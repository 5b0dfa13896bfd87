// The list root processes keep of the keys they looked up (paths::kAppleSMCKeyTypesPath), one
// "NAME TYPE SIZE" line each (size 0 and type "----": the SMC has no such key), for processes
// that cannot select an index. Root appends to it and never reads anything from it but the
// names already listed; others take it only when root owns it and nobody else may write it.
#pragma once

#include <map>
#include <string>

#include "KeyInfo.h"

namespace applesmc {

class SharedKeyTypes {
  public:
    SharedKeyTypes(std::string path, bool privileged)
        : path_(std::move(path)), privileged_(privileged) {}

    // The listed keys, read once.
    const std::map<std::string, KeyInfo>& listed();
    // Adds a key root looked up, unless it is listed or does not fit a line.
    void share(const std::string& key, const KeyInfo& info);

  private:
    std::string path_;
    bool privileged_;
    bool loaded_ = false;
    std::map<std::string, KeyInfo> keys_;
};

}  // namespace applesmc
