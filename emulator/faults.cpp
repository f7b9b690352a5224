#include "faults.h"

#include <cerrno>
#include <cstdlib>

#include "backend.h"
#include "device_path.h"
#include "lock.h"
#include "unicode/unicode.h"

namespace emu {
namespace {

const char* const kCallNames[] = {
#define EMU_CALL_NAME(Return, Name, Parameters, Arguments, Bytes) #Name,
    MERLO_DEVICE_CALLS(EMU_CALL_NAME) MERLO_FURTHER_DEVICE_CALLS(EMU_CALL_NAME)
#undef EMU_CALL_NAME
};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == size_t(Call::Count), "call names");

// The calls that noop= takes: those that change the device.
bool Changes(Call call) {
  switch (call) {
    case Call::CeWriteFile:
    case Call::CeCopyFile:
    case Call::CeMoveFile:
    case Call::CeDeleteFile:
    case Call::CeCreateDirectory:
    case Call::CeRemoveDirectory:
    case Call::CeSetFileAttributes:
    case Call::CeSetFileTime:
      return true;
    default:
      return false;
  }
}

Mutex gLock;
FaultPlan gPlan;
uint32_t gCounters[size_t(Call::Count)] = {};
int64_t gOpenHandles = 0;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, bool allowNegative, int64_t* value) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  int64_t v;
  if (hex) {
    v = int64_t(std::strtoull(begin + 2, &end, 16));
    if (v > 0xFFFFFFFFll) return false;
  } else {
    v = std::strtoll(begin, &end, 10);
  }
  if (errno != 0 || end == begin || *end != 0) return false;
  if (!allowNegative && v < 0) return false;
  if (v > 0xFFFFFFFFll || v < -0x80000000ll) return false;
  *value = v;
  return true;
}

// "N" or "N+" with N >= 1.
bool ParseCount(const std::string& text, uint32_t* n, bool* andLater) {
  std::string digits = text;
  *andLater = !digits.empty() && digits.back() == '+';
  if (*andLater) digits.pop_back();
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  int64_t v;
  if (!ParseInt(digits, false, &v) || v < 1) return false;
  *n = uint32_t(v);
  return true;
}

// The call of that name; Call::Count for none. CeRapiInitEx is not counted:
// it restarts the counters.
Call CallNamed(const std::string& name) {
  for (size_t i = size_t(Call::CeRapiUninit); i < size_t(Call::Count); ++i) {
    if (name == kCallNames[i]) return Call(i);
  }
  return Call::Count;
}

bool Matches(const CallRule& rule, uint32_t count) {
  return count == rule.n || (rule.andLater && count > rule.n);
}

}  // namespace

bool ParseFaults(const std::string& text, FaultPlan* plan, std::string* error) {
  *plan = FaultPlan();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string item = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string key = Trim(item.substr(0, eq));
    bool hasValue = eq != std::string::npos;
    std::string value = hasValue ? Trim(item.substr(eq + 1)) : std::string();
    bool ok = true;
    if (key == "refuse-init" && !hasValue) {
      plan->refuseInit = true;
    } else if (key == "connect-error") {
      plan->connectError = true;
      if (hasValue) {
        int64_t v;
        ok = ParseInt(value, true, &v);
        if (ok) plan->connectErrorCode = int32_t(uint32_t(v));
      }
    } else if (key == "never-connect" && !hasValue) {
      plan->neverConnect = true;
    } else if (key == "bad-event") {
      if (!hasValue) {
        plan->eventFault = EventFault::Value;
#if defined(_WIN32)
        plan->eventValue = 0;
#else
        plan->eventValue = -1;
#endif
      } else if (value == "closed") {
        plan->eventFault = EventFault::Closed;
      } else {
        int64_t v;
        ok = ParseInt(value, true, &v);
        plan->eventFault = EventFault::Value;
        if (ok) plan->eventValue = int32_t(uint32_t(v));
      }
    } else if (key == "connect-delay" && hasValue) {
      int64_t v;
      ok = ParseInt(value, false, &v);
      if (ok) plan->connectDelayMs = uint32_t(v);
    } else if (key == "fail" && hasValue) {
      size_t colon = value.find(':');
      std::string name = Trim(value.substr(0, colon));
      CallRule rule{CallNamed(name), 1, true};
      ok = rule.call != Call::Count;
      if (ok && colon != std::string::npos) {
        ok = ParseCount(Trim(value.substr(colon + 1)), &rule.n, &rule.andLater);
      }
      if (ok) plan->fails.push_back(rule);
    } else if (key == "noop" && hasValue) {
      const size_t colon = value.find(':');
      CallRule rule{CallNamed(Trim(value.substr(0, colon))), 1, false};
      ok = rule.call != Call::Count && Changes(rule.call) && colon != std::string::npos &&
           ParseCount(Trim(value.substr(colon + 1)), &rule.n, &rule.andLater);
      if (ok) plan->noops.push_back(rule);
    } else if ((key == "short-read" || key == "short-write" || key == "broken-copy") && hasValue) {
      CallRule rule{key == "short-read"    ? Call::CeReadFile
                    : key == "short-write" ? Call::CeWriteFile
                                           : Call::CeCopyFile,
                    1, false};
      ok = ParseCount(value, &rule.n, &rule.andLater);
      if (ok) plan->shortMoves.push_back(rule);
    } else if (key == "slow" && hasValue) {
      const size_t colon = value.find(':');
      const std::string name = Trim(value.substr(0, colon));
      const Call call = CallNamed(name);
      int64_t ms = 0;
      ok = call != Call::Count && colon != std::string::npos &&
           ParseInt(Trim(value.substr(colon + 1)), false, &ms);
      if (ok) plan->slowCalls.emplace_back(call, uint32_t(ms));
    } else if (key == "refuse-delete") {
      if (!hasValue) {
        plan->refuseAllDeletes = true;
      } else {
        std::u16string name;
        ok = unicode::ToUtf16(value, &name) && IsDeviceName(name.data(), name.size());
        if (ok) plan->refusedDeleteNames.push_back(std::move(name));
      }
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "unknown or malformed fault \"" + item + "\"";
      *plan = FaultPlan();
      return false;
    }
  }
  return true;
}

void InstallFaults(const FaultPlan& plan) {
  ScopedLock lock(gLock);
  gPlan = plan;
  for (uint32_t& c : gCounters) c = 0;
}

FaultPlan InstalledFaults() {
  ScopedLock lock(gLock);
  return gPlan;
}

Verdict CountCall(Call call) {
  Verdict verdict;
  uint32_t waitMs = 0;
  {
    ScopedLock lock(gLock);
    uint32_t& counter = gCounters[size_t(call)];
    if (counter != UINT32_MAX) ++counter;
    for (const CallRule& rule : gPlan.fails) {
      if (rule.call == call && Matches(rule, counter)) verdict.fail = true;
    }
    for (const CallRule& rule : gPlan.noops) {
      if (rule.call == call && Matches(rule, counter)) verdict.noop = true;
    }
    for (const CallRule& rule : gPlan.shortMoves) {
      if (rule.call == call && Matches(rule, counter)) verdict.shortMove = true;
    }
    for (const auto& slow : gPlan.slowCalls) {
      if (slow.first == call) waitMs += slow.second;
    }
  }
  if (waitMs > 0) SleepMs(waitMs);
  return verdict;
}

bool DeleteRefused(const DeviceChar* path) {
  ScopedLock lock(gLock);
  if (gPlan.refuseAllDeletes) return true;
  if (gPlan.refusedDeleteNames.empty()) return false;
  std::u16string last;
  if (!LastPart(path, &last)) return false;
  for (const std::u16string& name : gPlan.refusedDeleteNames) {
    if (unicode::EqualCaseless(name, last)) return true;
  }
  return false;
}

void CountHandle(int delta) {
  ScopedLock lock(gLock);
  gOpenHandles += delta;
}

void WriteReport() {
  std::string text;
  {
    ScopedLock lock(gLock);
    for (size_t i = size_t(Call::CeRapiUninit); i < size_t(Call::Count); ++i) {
      text += std::string(kCallNames[i]) + " " + std::to_string(gCounters[i]) + "\n";
    }
    text += "open-handles " + std::to_string(gOpenHandles) + "\n";
  }
  WriteFileNamedBy("MERLO_DEVICE_REPORT", text);
}

namespace {
// The report once more when the library is unloaded, for a process that ended
// without CeRapiUninit. Defined last, so it goes first, and it reads only
// storage that needs no destruction.
struct ReportAtUnload {
  ~ReportAtUnload() { WriteReport(); }
} gReportAtUnload;
}  // namespace

}  // namespace emu
