#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace merlo {

namespace {

std::atomic<int> gPending{0};
std::atomic<bool> gTold{false};
std::atomic<int> gMode{static_cast<int>(InterruptMode::Work)};

// The notes live in fixed buffers that the handler only reads: a new pair
// goes into the buffers not in use, then becomes the current one.
struct Notes {
  char First[512];
  char Second[512];
};
Notes gNotes[2];
std::atomic<int> gCurrentNotes{-1};

void Say(const char* text) { platform::WriteErrorNow(text); }

// Counts one Ctrl-C; ends the process on a second one during work.
void Note() {
  const int notes = gCurrentNotes.load();
  const bool work = gMode.load() == static_cast<int>(InterruptMode::Work);
  if (gPending.fetch_add(1) == 0 || !work) {
    if (work && notes >= 0) Say(gNotes[notes].First);
    return;
  }
  Say(notes >= 0 && gNotes[notes].Second[0] != '\0' ? gNotes[notes].Second
                                                    : "\nmerlo: interrupted\n");
  platform::EndProcessNow(kInterruptedStatus);
}

}  // namespace

void InstallInterruptHandler() { platform::CatchInterrupts(Note); }

void SetInterruptMode(InterruptMode mode) {
  gMode.store(static_cast<int>(mode));
  platform::SetInterruptsAtPrompt(mode == InterruptMode::Prompt);
}

void SetInterruptNotes(const std::string& first, const std::string& second) {
  if (first.empty() && second.empty()) {
    gCurrentNotes.store(-1);
    return;
  }
  const int next = gCurrentNotes.load() == 0 ? 1 : 0;
  std::snprintf(gNotes[next].First, sizeof gNotes[next].First, "%s", first.c_str());
  std::snprintf(gNotes[next].Second, sizeof gNotes[next].Second, "%s", second.c_str());
  gCurrentNotes.store(next);
}

bool Interrupted() { return gPending.load() > 0; }

void ClearInterrupt() {
  gPending.store(0);
  gTold.store(false);
}

void MarkInterruptTold() { gTold.store(true); }

bool InterruptTold() { return gTold.load(); }

}  // namespace merlo
