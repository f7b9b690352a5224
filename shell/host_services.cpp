#include "host_services.h"

#include <algorithm>
#include <fstream>
#include <iostream>

#include "text.h"

namespace merlo {

namespace {

std::vector<std::string>& ModuleTexts() {
  static std::vector<std::string> texts;
  return texts;
}

std::vector<ShownBox>& Boxes() {
  static std::vector<ShownBox> boxes;
  return boxes;
}

std::function<void()>& BeforeBox() {
  static std::function<void()> hook;
  return hook;
}

std::ostream*& BoxStream() {
  static std::ostream* stream = &std::cerr;
  return stream;
}

// Splits a text at its line breaks.
std::vector<std::string> Lines(const char* text) {
  std::vector<std::string> lines;
  std::string line;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (*p != '\r') {
      line.push_back(*p);
    }
  }
  lines.push_back(line);
  return lines;
}

// Texts here are user text, measured in the columns they take on the screen.
std::string Centered(const std::string& text, size_t width, char fill) {
  const size_t shown = ShownWidth(text);
  const size_t left = (width - shown) / 2;
  return std::string(left, fill) + text + std::string(width - left - shown, fill);
}

}  // namespace

bool ParseLanguageFile(std::istream& in, std::vector<std::string>* texts, std::string* error) {
  std::string line;
  if (!std::getline(in, line)) {
    *error = "the file is empty";
    return false;
  }
  if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  if (line.compare(0, 10, ".Language=") != 0) {
    *error = "the first line is not a .Language= line";
    return false;
  }
  texts->clear();
  while (std::getline(in, line)) {
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    if (open == std::string::npos || close == open) continue;
    texts->push_back(line.substr(open + 1, close - open - 1));
  }
  return true;
}

bool LoadModuleTexts(const std::string& path, std::string* error) {
  std::ifstream in(PathFromUser(path), std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::vector<std::string> texts;
  if (!ParseLanguageFile(in, &texts, error)) {
    *error = path + ": " + *error;
    return false;
  }
  ModuleTexts() = std::move(texts);
  return true;
}

std::string DrawBox(const std::string& title, const std::vector<std::string>& lines,
                    const std::vector<std::string>& buttons, const std::string& helpTopic) {
  std::string buttonLine;
  for (const auto& button : buttons) {
    if (!buttonLine.empty()) buttonLine += "  ";
    buttonLine += "[ " + UserFromNarrow(button) + " ]";
  }
  const std::string heading = title.empty() ? "" : " " + UserFromNarrow(title) + " ";
  const std::string help = helpTopic.empty() ? "" : " help: " + UserFromNarrow(helpTopic) + " ";
  std::vector<std::string> shown;
  for (const auto& line : lines) shown.push_back(UserFromNarrow(line));
  size_t width =
      std::max<size_t>({24, ShownWidth(heading) + 4, ShownWidth(help) + 4, ShownWidth(buttonLine)});
  for (const auto& line : shown) width = std::max(width, ShownWidth(line));
  width += 2;  // a blank column on either side

  std::string box = "+" + Centered(heading, width, '-') + "+\n";
  for (const auto& line : shown) {
    box += "| " + line + std::string(width - 1 - ShownWidth(line), ' ') + "|\n";
  }
  if (!buttonLine.empty()) box += "|" + Centered(buttonLine, width, ' ') + "|\n";
  box += "+" + Centered(help, width, '-') + "+\n";
  return box;
}

const std::vector<ShownBox>& ShownBoxes() { return Boxes(); }

void SetBoxStream(std::ostream* stream) { BoxStream() = stream; }

void SetBeforeBox(std::function<void()> hook) { BeforeBox() = std::move(hook); }

const char* MERLO_STDCALL HostTextService(int32_t moduleId, int32_t messageId) {
  const auto& texts = ModuleTexts();
  if (moduleId != kModuleId || messageId < 0 || static_cast<size_t>(messageId) >= texts.size()) {
    return "";
  }
  return texts[static_cast<size_t>(messageId)].c_str();
}

int32_t MERLO_STDCALL HostMessageBoxService(int32_t /*moduleId*/, uint32_t flags,
                                            const char* helpTopic, const char* const* items,
                                            int32_t itemCount, int32_t buttonCount) {
  ShownBox shown;
  shown.Flags = flags;
  std::vector<std::string> buttons;
  if (items != nullptr && itemCount > 0) {
    const auto count = static_cast<size_t>(itemCount);
    // At least the title is no button.
    const size_t buttonsAt =
        count - std::min(count - 1, static_cast<size_t>(std::max<int32_t>(buttonCount, 0)));
    // The module names PC files in its own form: shown as the user knows them.
    shown.Title = UserPcPaths(items[0] != nullptr ? items[0] : "");
    for (size_t i = 1; i < count; ++i) {
      const char* item = items[i] != nullptr ? items[i] : "";
      if (i < buttonsAt) {
        for (auto& line : Lines(item)) shown.Lines.push_back(UserPcPaths(line));
      } else {
        buttons.push_back(item);
      }
    }
  }
  if (BeforeBox()) {
    const auto hook = BeforeBox();
    hook();
  }
  *BoxStream() << DrawBox(shown.Title, shown.Lines, buttons, helpTopic != nullptr ? helpTopic : "")
               << std::flush;
  Boxes().push_back(std::move(shown));
  return 0;
}

}  // namespace merlo
