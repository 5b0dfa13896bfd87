// Small file-system helpers shared by the application's parts.
#pragma once

#include <string>

namespace Files {

bool fileExists(const std::string& path);
// Writes text to path atomically (a temporary file renamed over it); false on any failure.
bool writeAtomically(const std::string& path, const std::string& text);

}  // namespace Files
