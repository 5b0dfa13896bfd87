// The driver backend: the "AppleSMC" user client answered through the attribute files of the
// Linux applesmc driver, with the same 80-byte blocks, return codes and result bytes the SMC
// gives. This class takes each call apart and hands it on: root reads keys through the shared
// index files (Selection.h), every other process through the keys' own attributes
// (AttributeView.h); writes go where the driver encodes them (Writes.h); the key index is
// KeyIndex.h. Root lists the type of every key it looks up for the others (KeyTypes.h).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "AttributeView.h"
#include "Discovery.h"
#include "DriverFiles.h"
#include "KeyIndex.h"
#include "KeyTypes.h"
#include "NonCopyable.h"
#include "Paths.h"
#include "SMCBackend.h"
#include "Selection.h"
#include "TemperatureLabels.h"

class AppleSMCDriver : public SMCBackend, NonCopyable {
  public:
    // `privileged` defaults to whether the process runs as root.
    explicit AppleSMCDriver(AppleSMCDriverLocation where);
    AppleSMCDriver(AppleSMCDriverLocation where, bool privileged,
                   std::string lockPath = paths::kAppleSMCIndexLockPath,
                   std::string typesPath = paths::kAppleSMCKeyTypesPath);

    // Selector 2 only, as the SMC's user client; any other is unsupported.
    kern_return_t call(std::uint32_t selector, const SMCBlock& input, SMCBlock& output) override;

    void setAccessHook(applesmc::DriverFiles::AccessHook hook) {
        files_.setAccessHook(std::move(hook));
    }

  private:
    using KeyInfo = applesmc::KeyInfo;

    kern_return_t keyInfo(const std::string& key, KeyInfo& info);
    kern_return_t readKey(const std::string& key, const KeyInfo& info, applesmc::Bytes& bytes);
    kern_return_t writeKey(const std::string& key, const SMCBlock& input);
    // Root lists every fan's own keys when it first reaches the driver.
    void shareFanKeys();

    bool patched_;
    bool privileged_;
    applesmc::DriverFiles files_;
    applesmc::KeySelection selection_;
    applesmc::SharedKeyTypes types_;
    applesmc::TemperatureLabels labels_;
    applesmc::AttributeView view_;
    applesmc::KeyIndex index_;
    std::mutex lock_;
    bool fanKeysShared_ = false;
    std::map<std::string, KeyInfo> infoCache_;
};
