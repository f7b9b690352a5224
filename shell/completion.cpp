#include "completion.h"

#include <algorithm>
#include <filesystem>

#include "commands.h"
#include "session.h"
#include "text.h"

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

bool StartsWith(const std::string& text, const std::string& prefix, bool caseless) {
  if (text.size() < prefix.size()) return false;
  const std::string head = text.substr(0, prefix.size());
  return caseless ? SameNameCaseless(head, prefix) : head == prefix;
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
  const size_t separator = typed.find_last_of("\\/");
  const std::string folderPart =
      separator == std::string::npos ? "" : typed.substr(0, separator + 1);
  const std::string prefix = typed.substr(folderPart.size());
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
      names.push_back(folderPart + name + (IsFolder(entry) ? "\\" : ""));
      shown->push_back(name + (IsFolder(entry) ? "\\" : ""));
    }
  }
  panel.MoveTo(panel.Home());
  return names;
}

std::vector<std::string> LocalNames(const std::string& typed, bool foldersOnly,
                                    std::vector<std::string>* shown) {
#if defined(_WIN32)
  const size_t separator = typed.find_last_of("\\/");
#else
  const size_t separator = typed.find_last_of('/');
#endif
  const std::string folderPart =
      separator == std::string::npos ? "" : typed.substr(0, separator + 1);
  const std::string prefix = typed.substr(folderPart.size());
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry :
       fs::directory_iterator(folderPart.empty() ? fs::path(".") : PathFromUser(folderPart), ec)) {
    const std::string name = entry.path().filename().string();
    if (!StartsWith(name, prefix, false) || (name[0] == '.' && prefix.empty())) continue;
    std::error_code typeError;
    const bool folder = entry.is_directory(typeError);
    if (foldersOnly && !folder) continue;
    names.push_back(folderPart + name + (folder ? "/" : ""));
    shown->push_back(name + (folder ? "/" : ""));
  }
  return names;
}

}  // namespace

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
  // A word that starts like a path of the other side is one.
  if (kind == Arguments::DeviceEntries && !at.Text.empty() &&
      (at.Text[0] == '/' || at.Text[0] == '~' || at.Text.rfind("./", 0) == 0)) {
#if !defined(_WIN32)
    kind = Arguments::LocalEntries;
#endif
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
  // What all the names share; device names may differ from what was typed in case.
  const bool caseless = kind == Arguments::DeviceEntries || kind == Arguments::DeviceFolders;
  size_t common = names[0].size();
  for (const auto& name : names) {
    size_t i = 0;
    while (i < common && i < name.size() &&
           (caseless ? SameNameCaseless(name.substr(i, 1), names[0].substr(i, 1))
                     : name[i] == names[0][i])) {
      ++i;
    }
    common = i;
  }
  if (common > at.Text.size()) {
    completion.Text = Render(names[0].substr(0, common), at.Quote, false);
  } else {
    std::sort(shown.begin(), shown.end());
    completion.Choices = shown;
  }
  return completion;
}

}  // namespace merlo
