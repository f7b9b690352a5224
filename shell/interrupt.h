// Ctrl-C. At the prompt it drops the line being typed; during work it asks
// the work to stop at the next safe point (after the file being copied, since
// the module cannot cancel one file's copy); a second Ctrl-C before that
// point ends merlo at once.
#pragma once

#include <string>

namespace merlo {

// Installs merlo's handler; call once, before the first prompt.
void InstallInterruptHandler();

// What a Ctrl-C does now.
enum class InterruptMode {
  Prompt,  // interrupts the wait for a line, which is then dropped
  Work,    // noted; a second one ends the process
};
void SetInterruptMode(InterruptMode mode);

// What a Ctrl-C says while a file is copied: on the first, that the work
// stops after it; on the second, what may be left half written. Empty texts
// say nothing.
void SetInterruptNotes(const std::string& first, const std::string& second);

// True when a Ctrl-C came since the last ClearInterrupt.
bool Interrupted();
void ClearInterrupt();

// Whoever says what a Ctrl-C stopped, and after what, marks it told, so
// that the layers around (the command, the script) add to it rather than
// say it again. ClearInterrupt clears it too.
void MarkInterruptTold();
bool InterruptTold();

// The exit status of a process ended by a second Ctrl-C.
constexpr int kInterruptedStatus = 130;

}  // namespace merlo
