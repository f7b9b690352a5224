// Copying or moving the host's selection, one file after another.
#pragma once

#include "panel/panel_item.h"
#include "platform/types.h"

constexpr size_t kJoinedPathSize = 300;
constexpr size_t kCurrentDirectorySize = 256;

// Joins a folder and a name with exactly one "\" between them into a buffer
// of kJoinedPathSize bytes; with alwaysSeparate the "\" is added whatever the
// folder ends in. False when it does not fit or the name holds no NUL within
// its field; the buffer then holds as much as fits, for the error box.
bool JoinPath(const char* folder, const char* name, size_t nameCapacity, char* path,
              bool alwaysSeparate = false);

// Always 1. Folders are skipped; each file that arrived has its selected bit
// cleared; the first failure shows one error box and ends the batch. A null
// source folder stands for one that could not be read: the first file fails.
int32_t TransferItems(PanelItem* items, int32_t count, const char* sourceFolder,
                      const char* destinationFolder, int32_t move, int32_t opMode);

// The host's copy from the process's current directory to the panel's folder.
int32_t PutItems(const char* currentPath, PanelItem* items, int32_t count, int32_t move,
                 int32_t opMode);
