#include "host/messages.h"

#include "host/module_state.h"
#include "platform/text.h"

const char* GetMsg(int id) {
  HostTextFn hostText = gModule.Startup.HostText;
  if (hostText == nullptr) return "";
  const char* text = hostText(gModule.Startup.ModuleId, id);
  return text != nullptr ? text : "";
}

void ShowConnectError(int id) {
  const char* help = GetMsg(MsgConnectHelp);
  const char* items[2];
  items[0] = GetMsg(id);
  items[1] = GetMsg(MsgConnectButton);
  if (gModule.Startup.HostMessageBox == nullptr) return;
  gModule.Startup.HostMessageBox(gModule.Startup.ModuleId, kConnectErrorFlags, help, items, 2, 1);
}

void FormatWithPath(const char* format, const char* path, char* buffer, size_t size) {
  if (size == 0) return;
  size_t out = 0;
  bool full = false;
  bool pathUsed = false;
  // Puts whole characters only: once one does not fit, nothing more is put.
  auto put = [&](const char* text, size_t count) {
    if (full || out + count >= size) {
      full = true;
      return;
    }
    for (size_t i = 0; i < count; ++i) buffer[out++] = text[i];
  };
  auto putText = [&](const char* text) {
    while (text != nullptr && *text != '\0') {
      const size_t step = BoundedLength(text, gText.CharacterLength(text));
      put(text, step != 0 ? step : 1);
      text += step != 0 ? step : 1;
    }
  };
  for (const char* p = format; *p != '\0';) {
    if (p[0] == '%' && p[1] == '%') {
      put("%", 1);
      p += 2;
    } else if (p[0] == '%' && p[1] == 's' && !pathUsed) {
      putText(path);
      pathUsed = true;
      p += 2;
    } else {
      const size_t step = BoundedLength(p, gText.CharacterLength(p));
      put(p, step != 0 ? step : 1);
      p += step != 0 ? step : 1;
    }
  }
  buffer[out] = '\0';
}

void ShowOperationError(int formatId, const char* path) {
  char text[kOperationTextSize];
  FormatWithPath(GetMsg(formatId), path, text, sizeof text);
  const char* items[3];
  items[0] = GetMsg(MsgErrorTitle);
  items[1] = text;
  items[2] = GetMsg(MsgErrorButton);
  if (gModule.Startup.HostMessageBox == nullptr) return;
  gModule.Startup.HostMessageBox(gModule.Startup.ModuleId, kOperationErrorFlags, nullptr, items, 3,
                                 1);
}
