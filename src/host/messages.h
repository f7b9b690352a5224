// Message ids of the module's texts and the two error boxes.
#pragma once

#include <cstddef>

enum MessageId : int {
  MsgErrorButton = 0,
  MsgErrorTitle = 2,
  MsgMenuItem = 3,
  MsgDisksMenuItem = 4,
  MsgConnectHelp = 5,
  MsgConnectButton = 6,
  MsgInitFailed = 7,
  MsgConnectFailed = 8,
  MsgConnectTimeout = 9,
  MsgCopyFailed = 10,
  MsgDeleteFailed = 11,
};

constexpr unsigned kConnectErrorFlags = 1;
constexpr unsigned kOperationErrorFlags = 3;
constexpr size_t kOperationTextSize = 200;

// The host's text for a message id; never null.
const char* GetMsg(int id);

void ShowConnectError(int id);
void ShowOperationError(int formatId, const char* path);

// Formats the host's format text with the path as its one argument: the first
// "%s" takes the path, "%%" gives "%", any other "%" sequence stays as it
// stands. The result is cut to fit the buffer and always ends in a NUL.
void FormatWithPath(const char* format, const char* path, char* buffer, size_t size);
