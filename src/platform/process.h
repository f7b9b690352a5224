// What the module asks of its own process: waiting for the connection's
// completion event and reading the current directory.
#pragma once

#include "platform/types.h"

struct ProcessCalls {
  // 0 when the event was signalled within the time, 258 when not, anything
  // else for any other end of the wait.
  uint32_t (*WaitForSingleObject)(int32_t event, uint32_t milliseconds);
  // The current directory as narrow text with a drive letter; its length, or
  // the size needed (terminator included) when the buffer is too small.
  uint32_t (*GetCurrentDirectoryA)(uint32_t size, char* buffer);
};

extern ProcessCalls gProcess;
