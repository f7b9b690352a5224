// Copying or moving one file between the PC and the device, or within the device.
#pragma once

#include "platform/types.h"

constexpr uint32_t ChunkSize = 2048;
constexpr size_t kDevicePathUnits = 300;

// A path with ":" is a PC path, any other a device path. True when the file
// arrived whole, the written file's close included, and, for a move, its
// source is gone.
bool TransferFile(const char* source, const char* destination, int32_t move, int32_t opMode);
