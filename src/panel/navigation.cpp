#include "panel/navigation.h"

#include <cstring>

#include "platform/text.h"

namespace {

constexpr size_t kMaxPathLength = kCurrentPathSize - 1;

int32_t GoUp(DevicePanel* panel) {
  if (panel->Depth <= 0) return 0;
  panel->Depth -= 1;
  // The first character is never a cut point: it is the separator before the
  // first level. The walk goes by characters, so the second byte of a
  // double-byte character is never taken for a separator.
  const size_t length = BoundedLength(panel->CurrentPath, kCurrentPathSize);
  const size_t cut = LastSeparator(panel->CurrentPath, length);
  if (cut != length && cut > 0) {
    panel->CurrentPath[cut] = '\0';
    return 1;
  }
  panel->CurrentPath[0] = '\0';
  panel->Depth = 0;
  return 1;
}

}  // namespace

int32_t ChangeDirectory(DevicePanel* panel, const char* folder) {
  if (std::strcmp(folder, "\\") == 0) {
    panel->Depth = 0;
    panel->CurrentPath[0] = '\0';
    return 1;
  }
  if (std::strcmp(folder, "..") == 0) return GoUp(panel);

  const size_t length = BoundedLength(panel->CurrentPath, kCurrentPathSize);
  const size_t added = BoundedLength(folder, kCurrentPathSize);
  if (length + 1 + added > kMaxPathLength) return 0;
  panel->CurrentPath[length] = '\\';
  std::memcpy(panel->CurrentPath + length + 1, folder, added);
  panel->CurrentPath[length + 1 + added] = '\0';
  panel->Depth += 1;
  return 1;
}

void DescribePanel(PanelInfoRecord* info) {
  static const char kCurrentFolder[] = "\\";
  static const char kFormat[] = "WINCE";
  static const char kTitle[] = "Windows CE";
  info->StructSize = sizeof(int32_t) * 17;
  info->Flags = 0x27;
  info->Field8 = 0;
  info->CurrentFolder = kCurrentFolder;
  info->Format = kFormat;
  info->Title = kTitle;
  info->Field24 = 0;
  info->Field32 = 0;
  info->Field36 = 0;
  info->Field40 = 0;
  info->Field44 = 0;
  info->Field48 = 0;
  info->Field52 = 0;
  info->Field56 = 1;
  info->Field60 = 0;
  info->Field64 = 0;
}
