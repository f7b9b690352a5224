// Files on the PC. Paths are narrow text with a drive letter ("C:\dir\file");
// on Linux "Z:" is the file-system root, as under Wine.
#pragma once

#include "platform/types.h"

struct LocalFiles {
  LocalHandle (*CreateFileA)(const char* path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t attributes);
  int32_t (*ReadFile)(LocalHandle file, void* buffer, uint32_t count, uint32_t* done);
  int32_t (*WriteFile)(LocalHandle file, const void* buffer, uint32_t count, uint32_t* done);
  uint32_t (*GetFileSize)(LocalHandle file, uint32_t* sizeHigh);
  int32_t (*CloseHandle)(LocalHandle file);
  int32_t (*DeleteFileA)(const char* path);
};

extern LocalFiles gLocalFiles;
