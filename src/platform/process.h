// What the module asks of its own process: waiting for the connection's
// completion event, reading the current directory, and advice on large blocks
// of memory.
#pragma once

#include "platform/types.h"

struct ProcessCalls {
  // 0 when the event was signalled within the time, 258 when not, anything
  // else for any other end of the wait.
  uint32_t (*WaitForSingleObject)(int32_t event, uint32_t milliseconds);
  // The current directory as narrow text with a drive letter; its length, or
  // the size needed (terminator included) when the buffer is too small.
  uint32_t (*GetCurrentDirectoryA)(uint32_t size, char* buffer);
  // Tells the system that a freshly allocated block is about to be written
  // whole, so it may back it with large pages; may be null, changes no data.
  void (*AdviseLargeBlock)(void* block, size_t bytes);
};

extern ProcessCalls gProcess;
