// Fault injection for the emulated device library.
//
// MERLO_DEVICE_FAULTS holds a comma-separated list of faults. It is read by every
// CeRapiInitEx (so a test process can change it between panels), and the call
// counters below restart at 1 with every CeRapiInitEx. Spaces around items and
// empty items are ignored. An item that is not understood makes CeRapiInitEx
// refuse with E_INVALIDARG (0x80070057) and a line on stderr, so that a typo
// never passes silently.
//
// Connection:
//   refuse-init           CeRapiInitEx returns E_FAIL (0x80004005): no event, no thread.
//   connect-error[=CODE]  the connection completes with CODE in the record's result
//                         (default 0x80004005); CODE is decimal (may be negative) or 0x-hex.
//   never-connect         an event is handed out but never signalled; the result is
//                         never written.
//   bad-event             the event handed out cannot be waited on: -1 on Linux, a null
//                         handle (0) on Windows (a wait on it fails). The connection
//                         still completes (the result is written) but nothing is signalled.
//   bad-event=closed      the same with a descriptor / handle that was made and closed
//                         again before CeRapiInitEx returned (its number may be reused
//                         by whatever the process opens next).
//   bad-event=N           the same with the literal value N (on Windows -1 is the
//                         current-process pseudo-handle: a wait on it times out).
//   connect-delay=MS      the connection completes MS milliseconds after CeRapiInitEx
//                         has returned (default 5; 0 = as soon as it has returned).
//
// Calls (counted from 1 since the last CeRapiInitEx; every call counts, failing or not):
//   fail=CALL:N           the N-th call of CALL fails;
//   fail=CALL:N+          the N-th and every later call fails;
//   fail=CALL             every call fails.
//     CALL is any device call but CeRapiInitEx (platform/device_calls.h). A failing
//     call does nothing and returns its failure value (0, -1 or 0xFFFFFFFF;
//     CeFindAllFiles leaves count and array untouched), except the three release
//     calls CeCloseHandle, CeRapiFreeBuffer and CeRapiUninit: they still release,
//     and report failure (0, E_FAIL, E_FAIL). Its reason for CeGetLastError is
//     ERROR_GEN_FAILURE (31); a failing CeGetLastError answers 31.
//   noop=CALL:N[+]        the N-th (and with "+" every later) call of CALL reports
//                         success and does nothing, as a device that loses a change.
//                         CALL is one that changes the device: CeWriteFile (which
//                         reports every byte written), CeCopyFile, CeMoveFile,
//                         CeDeleteFile, CeCreateDirectory, CeRemoveDirectory,
//                         CeSetFileAttributes, CeSetFileTime.
//   short-read=N[+]       the N-th (and with "+" every later) CeReadFile moves fewer
//   short-write=N[+]      bytes than asked (half, rounded down: 1 byte asked moves 0) and
//                         still returns success, with the smaller count. Counted with the
//                         same counters as fail= (CeReadFile, CeWriteFile).
//   broken-copy=N[+]      the N-th (and with "+" every later) CeCopyFile breaks off after
//                         half the file, as when the device runs out of room, and fails;
//                         an existing target stays as it was.
//   slow=CALL:MS          every call of CALL waits MS milliseconds before it works: a
//                         slow device, for tests of what a user sees meanwhile.
//   refuse-delete         every CeDeleteFile fails.
//   refuse-delete=NAME    CeDeleteFile fails for an entry whose last path part is NAME
//                         (UTF-8, compared without regard to case, as the device
//                         compares names; may be given more than once).
//
// Every call that fails, injected or not, leaves the device's reason (a Windows
// error code) for CeGetLastError on the calling thread.
//
// Example: MERLO_DEVICE_FAULTS="connect-delay=50,fail=CeCreateFile:2,short-write=3"
//
// Report: MERLO_DEVICE_REPORT names a file that the library writes, replacing it,
// at every CeRapiUninit and once more when it is unloaded. A test counts a clean
// run's calls from it, to know which fault positions a run reaches, and checks
// that nothing was left open. One line per item:
//   CALL N                N calls of CALL since the last CeRapiInitEx, counted as
//                         fail= counts them; one line for each CALL that fail= takes.
//   open-handles N        handles that CeCreateFile gave out and CeCloseHandle has
//                         not released yet (since the library was loaded).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_calls.h"

namespace emu {

constexpr DeviceResult kEFail = int32_t(0x80004005u);
constexpr DeviceResult kEInvalidArg = int32_t(0x80070057u);
constexpr DeviceResult kEUnexpected = int32_t(0x8000FFFFu);

// Every device call (platform/device_calls.h), in the order of the lists.
enum class Call {
#define EMU_CALL_ENUMERATOR(Return, Name, Parameters, Arguments, Bytes) Name,
  MERLO_DEVICE_CALLS(EMU_CALL_ENUMERATOR) MERLO_FURTHER_DEVICE_CALLS(EMU_CALL_ENUMERATOR)
#undef EMU_CALL_ENUMERATOR
      Count
};

struct CallRule {
  Call call;
  uint32_t n;     // 1-based call number
  bool andLater;  // also every later call
};

enum class EventFault { None, Value, Closed };

struct FaultPlan {
  bool refuseInit = false;
  bool connectError = false;
  DeviceResult connectErrorCode = kEFail;
  bool neverConnect = false;
  EventFault eventFault = EventFault::None;
  int32_t eventValue = 0;
  uint32_t connectDelayMs = 5;
  std::vector<CallRule> fails;
  std::vector<CallRule> noops;       // calls that report success and do nothing
  std::vector<CallRule> shortMoves;  // CeReadFile, CeWriteFile; CeCopyFile breaks off
  std::vector<std::pair<Call, uint32_t>> slowCalls;  // call, milliseconds
  bool refuseAllDeletes = false;
  std::vector<std::u16string> refusedDeleteNames;
};

// Parses a fault list; false with a message when an item is not understood.
bool ParseFaults(const std::string& text, FaultPlan* plan, std::string* error);

// Installs a plan and restarts the call counters (CeRapiInitEx).
void InstallFaults(const FaultPlan& plan);

// A copy of the installed plan's connection part (used by CeRapiInitEx).
FaultPlan InstalledFaults();

struct Verdict {
  bool fail = false;
  bool shortMove = false;
  bool noop = false;
};

// Counts one call of `call` and tells whether this call fails or moves short;
// waits first when the call is slow.
Verdict CountCall(Call call);

// True when the installed plan refuses to delete the entry at `path`.
bool DeleteRefused(const DeviceChar* path);

// Counts a handle given out (+1) or released (-1), for the report.
void CountHandle(int delta);

// Writes the report when MERLO_DEVICE_REPORT names a file.
void WriteReport();

}  // namespace emu
