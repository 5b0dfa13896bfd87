// Prints the kernel's link and FIFO protections before the attack suite runs: the attacks
// must fail with them off (as on the CI machine, and as macOS has no such protection).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

class ProtectionReport : public ::testing::Environment {
  public:
    void SetUp() override {
        for (const char* name : {"protected_symlinks", "protected_hardlinks", "protected_regular",
                                 "protected_fifos"}) {
            std::ifstream in(std::string("/proc/sys/fs/") + name);
            std::string value;
            if (!(in >> value)) value = "unknown";
            std::printf("fs.%s = %s\n", name, value.c_str());
        }
        std::fflush(stdout);
    }
};

[[maybe_unused]] ::testing::Environment* const kReport =
    ::testing::AddGlobalTestEnvironment(new ProtectionReport);

}  // namespace
