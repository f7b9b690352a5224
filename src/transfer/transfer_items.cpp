#include "transfer/transfer_items.h"

#include <cstring>

#include "host/messages.h"
#include "platform/process.h"
#include "platform/text.h"
#include "transfer/transfer_file.h"

bool JoinPath(const char* folder, const char* name, size_t nameCapacity, char* path,
              bool alwaysSeparate) {
  size_t length = BoundedLength(folder, kJoinedPathSize);
  const size_t nameLength = BoundedLength(name, nameCapacity);
  bool fits = length < kJoinedPathSize && nameLength < nameCapacity;
  // What is cut for the box ends on a character boundary.
  length = WholeCharactersLength(folder, length, kJoinedPathSize - 1);
  std::memcpy(path, folder, length);
  if (alwaysSeparate || length == 0 || !EndsWithBackslash(path, length)) {
    if (length + 1 < kJoinedPathSize) {
      path[length++] = '\\';
    } else {
      fits = false;
    }
  }
  const size_t copied = WholeCharactersLength(name, nameLength, kJoinedPathSize - 1 - length);
  if (copied < nameLength) fits = false;
  std::memcpy(path + length, name, copied);
  path[length + copied] = '\0';
  return fits;
}

int32_t TransferItems(PanelItem* items, int32_t count, const char* sourceFolder,
                      const char* destinationFolder, int32_t move, int32_t opMode) {
  if (items == nullptr) return 1;
  char sourcePath[kJoinedPathSize];
  char destinationPath[kJoinedPathSize];
  for (int32_t i = 0; i < count; ++i) {
    PanelItem& item = items[i];
    if ((item.Attributes & kFileAttributeDirectory) != 0) continue;
    if (sourceFolder == nullptr) {
      // The box names the file itself: "\name" without its backslash.
      JoinPath("", item.Name, sizeof item.Name, sourcePath);
      ShowOperationError(MsgCopyFailed, sourcePath + 1);
      break;
    }
    const bool sourceFits = JoinPath(sourceFolder, item.Name, sizeof item.Name, sourcePath);
    const bool destinationFits =
        JoinPath(destinationFolder, item.Name, sizeof item.Name, destinationPath);
    if (!sourceFits || !destinationFits ||
        !TransferFile(sourcePath, destinationPath, move, opMode)) {
      ShowOperationError(MsgCopyFailed, sourcePath);
      break;
    }
    item.ItemFlags &= ~kItemSelected;
  }
  return 1;
}

int32_t PutItems(const char* currentPath, PanelItem* items, int32_t count, int32_t move,
                 int32_t opMode) {
  char currentDirectory[kCurrentDirectorySize] = {};
  const uint32_t length = gProcess.GetCurrentDirectoryA(kCurrentDirectorySize, currentDirectory);
  // A directory that did not fit (or could not be read) is no folder to copy from.
  const bool usable = length > 0 && length < kCurrentDirectorySize;
  return TransferItems(items, count, usable ? currentDirectory : nullptr, currentPath, move,
                       opMode);
}
