// A temporary folder for the POSIX seam tests, removed with all it holds.
#pragma once

#if !defined(_WIN32)

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/drive_paths.h"

class PosixTempDir {
 public:
  PosixTempDir() {
    char pattern[] = "/tmp/merlo-seam-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) {
      char resolved[4096];
      path_ = realpath(made, resolved) != nullptr ? resolved : made;
    }
  }
  ~PosixTempDir() {
    if (!path_.empty()) nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  PosixTempDir(const PosixTempDir&) = delete;
  PosixTempDir& operator=(const PosixTempDir&) = delete;

  bool Ok() const { return !path_.empty(); }
  // The POSIX path of a name inside the folder (UTF-8).
  std::string Posix(const std::string& name = "") const {
    return name.empty() ? path_ : path_ + "/" + name;
  }
  // The PC path ("Z:\...", Latin-1) of a name inside the folder, the name given in Latin-1.
  std::string Pc(const std::string& latin1Name = "") const {
    char pc[4096];
    if (!PosixPathToPc(path_.c_str(), pc, sizeof pc)) return std::string();
    std::string result = pc;
    if (!latin1Name.empty()) result += "\\" + latin1Name;
    return result;
  }

 private:
  static int Remove(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
  }
  std::string path_;
};

#endif
