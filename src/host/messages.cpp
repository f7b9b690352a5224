#include "host/messages.h"

#include "host/module_state.h"

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
  bool pathUsed = false;
  auto put = [&](char c) {
    if (out + 1 < size) buffer[out++] = c;
  };
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      put('%');
      ++p;
    } else if (p[0] == '%' && p[1] == 's' && !pathUsed) {
      for (const char* s = path; s != nullptr && *s != '\0'; ++s) put(*s);
      pathUsed = true;
      ++p;
    } else {
      put(*p);
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
