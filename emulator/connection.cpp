// The connection of the emulated device: CeRapiInitEx and CeRapiUninit.
//
// Every CeRapiInitEx (also one that refuses) opens a session; every CeRapiUninit
// ends the newest session still open: it cancels that session's connection
// thread if it has not completed yet (so the record is not written any more),
// joins it and closes the event the session made. Any other session whose
// thread is still waiting is completed at once and joined too, so that when
// CeRapiUninit returns no thread of the library is left running and no record
// is written afterwards. A CeRapiUninit with no session open does nothing and
// returns E_FAIL.
#include <cstdio>
#include <memory>
#include <vector>

#include "backend.h"
#include "faults.h"
#include "lock.h"

namespace emu {
namespace {

struct Session {
  ConnectRecord* record = nullptr;
  int32_t event = -1;
  bool ownsEvent = false;
  bool hasThread = false;
  uintptr_t thread = 0;
  DeviceResult code = 0;
  bool signal = true;
  uint32_t delayMs = 0;
  Mutex lock;
  CondVar changed;
  bool released = false;   // CeRapiInitEx is returning
  bool cancelled = false;  // ended before completion: write nothing
  bool hurry = false;      // complete now
};

Mutex gSessionsLock;
std::vector<Session*> gSessions;

void ConnectionThread(void* argument) {
  Session* s = static_cast<Session*>(argument);
  ScopedLock lock(s->lock);
  while (!s->released && !s->cancelled) s->changed.Wait(s->lock);
  uint64_t deadline = NowMs() + s->delayMs;
  while (!s->cancelled && !s->hurry) {
    uint64_t now = NowMs();
    if (now >= deadline) break;
    s->changed.WaitFor(s->lock, uint32_t(deadline - now));
  }
  if (s->cancelled) return;
  // Plain memory to the caller, which reads it after the event: a release store
  // keeps the write ahead of the signal for tools that check such things.
  __atomic_store_n(&s->record->Result, s->code, __ATOMIC_RELEASE);
  if (s->signal) SignalCompletionEvent(s->event);
}

void Push(std::unique_ptr<Session> session) {
  ScopedLock lock(gSessionsLock);
  gSessions.push_back(session.release());
}

void Wake(Session* s, bool cancel) {
  ScopedLock lock(s->lock);
  if (cancel) {
    s->cancelled = true;
  } else {
    s->hurry = true;
  }
  s->changed.NotifyAll();
}

}  // namespace

DeviceResult BeginConnection(ConnectRecord* record) {
  std::unique_ptr<Session> session(new Session);
  std::string faultsText, error;
  ReadEnvironment("MERLO_DEVICE_FAULTS", &faultsText);
  FaultPlan plan;
  bool parsed = ParseFaults(faultsText, &plan, &error);
  InstallFaults(plan);
  if (!parsed) {
    std::fprintf(stderr, "rapi: MERLO_DEVICE_FAULTS: %s\n", error.c_str());
    Push(std::move(session));
    return kEInvalidArg;
  }
  if (record == nullptr || record->Size != sizeof(ConnectRecord)) {
    Push(std::move(session));
    return kEInvalidArg;
  }
  if (!SetDeviceRootFromEnvironment()) {
    Push(std::move(session));
    return int32_t(0x80070003u);  // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
  }
  if (plan.refuseInit) {
    Push(std::move(session));
    return kEFail;
  }

  Session* s = session.get();
  switch (plan.eventFault) {
    case EventFault::None:
      if (!CreateCompletionEvent(&s->event)) {
        Push(std::move(session));
        return kEFail;
      }
      s->ownsEvent = true;
      break;
    case EventFault::Value:
      s->event = plan.eventValue;
      break;
    case EventFault::Closed:
      break;  // made once the thread is started: its handle must not take the number
  }
  record->CompletionEvent = s->event;
  s->record = record;
  s->code = plan.connectError ? plan.connectErrorCode : 0;
  s->signal = s->ownsEvent;
  s->delayMs = plan.connectDelayMs;
  if (!plan.neverConnect) {
    if (!StartThread(ConnectionThread, s, &s->thread)) {
      if (s->ownsEvent) CloseCompletionEvent(s->event);
      s->ownsEvent = false;
      Push(std::move(session));
      return kEFail;
    }
    s->hasThread = true;
  }
  if (plan.eventFault == EventFault::Closed) {
    s->event = MakeClosedEvent();  // the thread does not read it: nothing is signalled
    record->CompletionEvent = s->event;
  }
  Push(std::move(session));
  {
    ScopedLock lock(s->lock);
    s->released = true;
    s->changed.NotifyAll();
  }
  return 0;
}

bool EndConnection() {
  ScopedLock lock(gSessionsLock);
  if (gSessions.empty()) return false;
  Session* s = gSessions.back();
  gSessions.pop_back();
  if (s->hasThread) {
    Wake(s, true);
    JoinThread(s->thread);
  }
  if (s->ownsEvent) CloseCompletionEvent(s->event);
  delete s;
  for (Session* other : gSessions) {
    if (!other->hasThread) continue;
    Wake(other, false);
    JoinThread(other->thread);
    other->hasThread = false;
  }
  return true;
}

}  // namespace emu
