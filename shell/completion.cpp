#include "completion.h"

#include <algorithm>
#include <filesystem>

#include "commands.h"
#include "platform.h"
#include "session.h"
#include "text.h"
#include "unicode/unicode.h"

namespace fs = std::filesystem;

namespace merlo {

namespace {

// The command and the word the cursor is in, read as the parser reads them.
struct WordAtCursor {
  std::string Command;  // the first word of the command the cursor is in
  size_t Index = 0;     // which word of that command
  size_t From = 0;      // where it starts in the line, its opening quote included
  std::string Text;     // its text so far, without quotes
  char Quote = 0;       // the quote still open at the cursor, if any
};

WordAtCursor FindWord(const std::string& line, size_t cursor) {
  WordAtCursor at;
  bool inWord = false;
  size_t words = 0;
  std::string first;
  for (size_t i = 0; i < cursor && i < line.size(); ++i) {
    const char c = line[i];
    if (at.Quote != 0) {
      if (c == at.Quote) {
        at.Quote = 0;
      } else {
        at.Text.push_back(c);
      }
      continue;
    }
    const bool blank = c == ' ' || c == '\t';
    if (blank || c == ';') {
      if (inWord) {
        if (words == 0) first = at.Text;
        ++words;
      }
      inWord = false;
      at.Text.clear();
      if (c == ';') {
        words = 0;
        first.clear();
      }
      continue;
    }
    if (!inWord) {
      inWord = true;
      at.From = i;
    }
    if (c == '"' || c == '\'') {
      at.Quote = c;
    } else {
      at.Text.push_back(c);
    }
  }
  if (!inWord) at.From = cursor;
  at.Index = words;
  at.Command = words == 0 ? at.Text : first;
  return at;
}

// One character of a text at a byte position: its length in bytes (at least
// 1) and its code. A byte that is no valid UTF-8 is a character of its own,
// coded above the Unicode range so that it equals only itself.
size_t NextCharacter(const std::string& text, size_t at, char32_t* code) {
  const size_t length = unicode::DecodeUtf8(text.data() + at, text.size() - at, code);
  if (length != 0) return length;
  *code = 0x110000 + static_cast<unsigned char>(text[at]);
  return 1;
}

// The length in bytes of the first `count` characters of a text (a byte that
// is no valid UTF-8 counts as one character), or npos when it has fewer.
size_t CharactersLength(const std::string& text, size_t count) {
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (at >= text.size()) return std::string::npos;
    char32_t code = 0;
    at += NextCharacter(text, at, &code);
  }
  return at;
}

size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (size_t at = 0; at < text.size(); ++count) {
    char32_t code = 0;
    at += NextCharacter(text, at, &code);
  }
  return count;
}

// Whether a name starts with what was typed: by characters, and without
// regard to case for device names. Case folding keeps the number of
// characters, not always that of bytes (K and the Kelvin sign).
bool StartsWith(const std::string& text, const std::string& prefix, bool caseless) {
  if (!caseless) return text.compare(0, prefix.size(), prefix) == 0;
  const size_t length = CharactersLength(text, CharacterCount(prefix));
  return length != std::string::npos && unicode::EqualCaseless(text.substr(0, length), prefix);
}

// The word as it goes into the line: quoted when it needs quotes or the user
// opened one; closed, and followed by a blank, only when it is complete.
std::string Render(const std::string& word, char openQuote, bool complete) {
  const bool folder = !word.empty() && (word.back() == '\\' || word.back() == '/');
  const bool special = word.find_first_of(" \t\"';") != std::string::npos;
  std::string text;
  if (!special && openQuote == 0) {
    text = word;
  } else {
    char quote = openQuote != 0 ? openQuote : '"';
    if (word.find(quote) != std::string::npos) quote = quote == '"' ? '\'' : '"';
    if (word.find(quote) != std::string::npos) {
      text = QuoteWord(word);  // both quotes inside: runs of each
    } else {
      text = quote + word;
      if (complete) text += quote;
    }
  }
  if (complete && !folder) text += ' ';
  return text;
}

std::vector<std::string> DeviceNames(Session& session, const std::string& typed, bool foldersOnly,
                                     std::vector<std::string>* shown) {
  const size_t last = typed.find_last_of("\\/");
  const std::string folderPart = last == std::string::npos ? "" : typed.substr(0, last + 1);
  const std::string prefix = typed.substr(folderPart.size());
  // A folder ends in the separator that the path is written with.
  const char* const separator = last != std::string::npos && typed[last] == '/' ? "/" : "\\";
  std::vector<std::string> names;
  // Read fresh: the last command's listings may be out of date.
  Panel& panel = session.panel();
  panel.Forget();
  FolderParts folder;
  std::string error;
  if (panel.FindFolder(folderPart, &folder, &error)) {
    for (const auto& entry : panel.Entries(folder)) {
      if (foldersOnly && !IsFolder(entry)) continue;
      const std::string name = UserFromNarrow(ItemName(entry));
      if (!StartsWith(name, prefix, true)) continue;
      names.push_back(folderPart + name + (IsFolder(entry) ? separator : ""));
      shown->push_back(name + (IsFolder(entry) ? "\\" : ""));
    }
  }
  panel.MoveTo(panel.Home());
  return names;
}

std::vector<std::string> LocalNames(const std::string& typed, bool foldersOnly,
                                    std::vector<std::string>* shown) {
  const size_t separator = typed.find_last_of(platform::kPcSeparators);
  const std::string folderPart =
      separator == std::string::npos ? "" : typed.substr(0, separator + 1);
  const std::string prefix = typed.substr(folderPart.size());
  // A folder ends in the separator the user typed last, else in the PC's own
  // ("\\" on Windows).
  const std::string ending(
      1, separator == std::string::npos ? platform::kPcSeparators[0] : typed[separator]);
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry :
       fs::directory_iterator(folderPart.empty() ? fs::path(".") : PathFromUser(folderPart), ec)) {
    const std::string name = entry.path().filename().string();
    if (!StartsWith(name, prefix, false) || (name[0] == '.' && prefix.empty())) continue;
    std::error_code typeError;
    const bool folder = entry.is_directory(typeError);
    if (foldersOnly && !folder) continue;
    names.push_back(folderPart + name + (folder ? ending : ""));
    shown->push_back(name + (folder ? ending : ""));
  }
  return names;
}

}  // namespace

std::string CommonPrefix(const std::vector<std::string>& names, bool caseless) {
  if (names.empty()) return "";
  const std::string& first = names[0];
  size_t common = first.size();  // in bytes of the first name, at a character's start
  for (size_t n = 1; n < names.size(); ++n) {
    const std::string& name = names[n];
    size_t a = 0, b = 0;
    while (a < common && b < name.size()) {
      char32_t x = 0, y = 0;
      const size_t lengthA = NextCharacter(first, a, &x);
      const size_t lengthB = NextCharacter(name, b, &y);
      if (caseless ? unicode::FoldCase(x) != unicode::FoldCase(y) : x != y) break;
      if (a + lengthA > common) break;
      a += lengthA;
      b += lengthB;
    }
    common = a;
  }
  return first.substr(0, common);
}

Completion Complete(Session& session, const std::string& line, size_t cursor) {
  const WordAtCursor at = FindWord(line, cursor);
  Completion completion;
  completion.From = at.From;
  completion.Text = line.substr(at.From, cursor - at.From);

  Arguments kind = Arguments::Commands;
  if (at.Index > 0) {
    const Command* command = FindCommand(at.Command);
    kind = command != nullptr ? command->Completes : Arguments::None;
  }
  // A word that starts like a path of the other side is one; but "/"
  // separates device folders too, so a word that starts with it is a device
  // path when the device has names for it.
  bool pcPathToo = false;
  if (kind == Arguments::DeviceEntries && !at.Text.empty() &&
      (at.Text[0] == '/' || at.Text[0] == '~' || at.Text.rfind("./", 0) == 0)) {
    if (platform::kPcPathsStartWithSlash) {
      if (at.Text[0] == '/') {
        pcPathToo = true;
      } else {
        kind = Arguments::LocalEntries;
      }
    }
  } else if (kind == Arguments::LocalEntries && !at.Text.empty() && at.Text[0] == '\\') {
    kind = Arguments::DeviceFolders;
  }

  std::vector<std::string> names, shown;
  switch (kind) {
    case Arguments::None:
      return completion;
    case Arguments::Commands:
      for (const auto& command : CommandTable()) {
        for (const char* name : {command.Name, command.Alias}) {
          if (name != nullptr && std::string(name) != "?" && StartsWith(name, at.Text, false)) {
            names.push_back(name);
            shown.push_back(name);
          }
        }
      }
      break;
    case Arguments::DeviceEntries:
    case Arguments::DeviceFolders:
      names = DeviceNames(session, at.Text, kind == Arguments::DeviceFolders, &shown);
      if (names.empty() && pcPathToo) {
        kind = Arguments::LocalEntries;
        names = LocalNames(at.Text, false, &shown);
      }
      break;
    case Arguments::LocalEntries:
    case Arguments::LocalFolders:
      names = LocalNames(at.Text, kind == Arguments::LocalFolders, &shown);
      break;
  }
  if (names.empty()) return completion;
  if (names.size() == 1) {
    completion.Text = Render(names[0], at.Quote, true);
    return completion;
  }
  // What all the names share, by whole characters; device names may differ
  // from what was typed, and from each other, in case.
  const bool caseless = kind == Arguments::DeviceEntries || kind == Arguments::DeviceFolders;
  const std::string common = CommonPrefix(names, caseless);
  if (CharacterCount(common) > CharacterCount(at.Text)) {
    completion.Text = Render(common, at.Quote, false);
  } else {
    std::sort(shown.begin(), shown.end());
    completion.Choices = shown;
  }
  return completion;
}

TabResult ApplyCompletion(const std::string& line, size_t cursor, const Completion& completion) {
  TabResult tab;
  tab.Line = line;
  tab.Cursor = cursor;
  if (!completion.Choices.empty()) {
    tab.Choices = completion.Choices;
    return tab;
  }
  if (cursor > line.size() || completion.From > cursor ||
      line.compare(completion.From, cursor - completion.From, completion.Text) == 0) {
    return tab;
  }
  tab.Line = line.substr(0, completion.From) + completion.Text + line.substr(cursor);
  tab.Cursor = completion.From + completion.Text.size();
  tab.Changed = true;
  return tab;
}

std::string ChoiceColumns(const std::vector<std::string>& choices, size_t width) {
  if (choices.empty()) return "";
  std::vector<size_t> widths;
  for (const auto& choice : choices) widths.push_back(ShownWidth(choice));
  const size_t widest = *std::max_element(widths.begin(), widths.end());
  const size_t columns = std::max<size_t>(1, width / (widest + 2));
  std::string shown;
  for (size_t i = 0; i < choices.size(); ++i) {
    shown += choices[i];
    if ((i + 1) % columns == 0 || i + 1 == choices.size()) {
      shown += '\n';
    } else {
      shown += std::string(widest + 2 - widths[i], ' ');
    }
  }
  return shown;
}

}  // namespace merlo
