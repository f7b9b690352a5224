// The two services the host hands the module at start-up: the module's texts,
// read from its language file, and message boxes drawn on the terminal.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/records.h"

namespace merlo {

// The number merlo gives the module; both services expect it back.
constexpr int32_t kModuleId = 0x4D31;

// Parses a language file: a first line ".Language=NAME,NAME", then one
// double-quoted text per line, the first for message id 0. Lines that hold no
// quoted text are passed over. False, with a reason, when the first line is
// not a language line.
bool ParseLanguageFile(std::istream& in, std::vector<std::string>* texts, std::string* error);

// Loads the module's texts from the file at the path; afterwards they never
// change, so the pointers that HostTextService hands out stay valid for the
// process. False, with a reason, when the file is missing or malformed: then
// every id gives the empty text.
bool LoadModuleTexts(const std::string& path, std::string* error);

// The box as lines of terminal text: the title in the top border, the text
// lines, the buttons on one line, and the help topic, if any, in the bottom
// border. Texts are the module's narrow text.
std::string DrawBox(const std::string& title, const std::vector<std::string>& lines,
                    const std::vector<std::string>& buttons, const std::string& helpTopic);

// What a box showed, as the shell remembers it.
struct ShownBox {
  uint32_t Flags = 0;
  std::string Title;
  std::vector<std::string> Lines;
};

// Boxes shown since the process started.
const std::vector<ShownBox>& ShownBoxes();

// Called before a box is drawn (a live progress line clears itself); null for none.
void SetBeforeBox(std::function<void()> hook);

// Where boxes are drawn (standard error unless a test points elsewhere).
void SetBoxStream(std::ostream* stream);

// The services, with the host's calling convention.
const char* MERLO_STDCALL HostTextService(int32_t moduleId, int32_t messageId);
int32_t MERLO_STDCALL HostMessageBoxService(int32_t moduleId, uint32_t flags, const char* helpTopic,
                                            const char* const* items, int32_t itemCount,
                                            int32_t buttonCount);

}  // namespace merlo
