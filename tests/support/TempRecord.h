// A record path of fan minimums in a fresh temporary directory, so that no test reads or
// writes the machine's own record. The directory goes away with the object.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "FanController.h"

// For tests that do not look at the record: a path that never exists, only read.
inline FanController::Options noRecord() {
    return {"/nonexistent/orvane-test/orvane/fan-minimums", false};
}

class TempRecord {
  public:
    TempRecord() {
        std::string tmpl = "/tmp/orvrecord.XXXXXX";
        if (::mkdtemp(tmpl.data()) != nullptr) dir_ = tmpl;
    }
    ~TempRecord() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    TempRecord(const TempRecord&) = delete;
    TempRecord& operator=(const TempRecord&) = delete;

    const std::string& dir() const { return dir_; }
    // The record's directory and file.
    std::string recordDir() const { return dir_ + "/orvane"; }
    std::string path() const { return recordDir() + "/fan-minimums"; }
    FanController::Options options(bool keep = true) const { return {path(), keep}; }

  private:
    std::string dir_;
};
