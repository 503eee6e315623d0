// A file below <panel>/data for the duration of a test.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.h"
#include "util/util.h"

class PanelDataFile {
 public:
  explicit PanelDataFile(const std::string& name) : path_(get_path() + "/data/" + name) {
    mkdir(get_path().c_str(), 0755);
    mkdir((get_path() + "/data").c_str(), 0755);
    unlink(path_.c_str());
  }
  ~PanelDataFile() { unlink(path_.c_str()); }
  PanelDataFile(const PanelDataFile&) = delete;
  PanelDataFile& operator=(const PanelDataFile&) = delete;

  void write(const std::string& text) const { write_bytes(path_, text); }
  void remove() const { unlink(path_.c_str()); }

 private:
  std::string path_;
};
