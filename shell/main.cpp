// merlo: loads the module as the host file manager does, supplies the host's
// services, and gives the user a shell on the device.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "console.h"
#include "host_services.h"
#include "interrupt.h"
#include "line_editor.h"
#include "module.h"
#include "script.h"
#include "session.h"
#include "text.h"

#if defined(_WIN32)
#include <io.h>

#include "platform/win32/windows_api.h"
#else
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#endif

namespace fs = std::filesystem;

namespace {

// The key below which the module keeps its settings.
constexpr const char* kSettingsRoot = "Software\\Merlo\\Plugins";

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  // Both the process block and the C runtime's copy: a library loaded later
  // may read either.
  const std::wstring wideName = merlo::WideFromUtf8(name);
  const std::wstring wideValue = merlo::WideFromUtf8(value);
  SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str());
  _wputenv((wideName + L"=" + wideValue).c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

#if defined(_WIN32)
// With --device, the emulated device library goes in before the module asks
// for the device library by name, so that the module takes it instead of the
// system's. It is kept out of merlo.exe's own folder in the release
// (emulator\rapi.dll), where the module would find it even without --device.
bool LoadEmulatedDevice(std::string* error) {
  const std::string folder = merlo::ExecutableFolder();
  for (const std::string& path : {folder + "emulator\\rapi.dll", folder + "rapi.dll"}) {
    const std::wstring wide = merlo::WideFromUtf8(path);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    if (LoadLibraryW(wide.c_str()) != nullptr) return true;
    *error = "cannot load the emulated device library " + path + " (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  *error = "the emulated device library is missing: " + folder + "emulator\\rapi.dll";
  return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // User text is UTF-8 here; line editing must read it so, whatever the locale says.
  if (std::setlocale(LC_CTYPE, "") == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
#endif
  merlo::UseConsoleText();
  // UTF-8, whatever the console's or the system's code page.
  const std::vector<std::string> arguments = merlo::ProgramArguments(argc, argv);
  std::vector<const char*> argumentTexts;
  for (const auto& argument : arguments) argumentTexts.push_back(argument.c_str());
  CLI::App app{"merlo: a shell on a Windows CE device, through the MERLO module.", "merlo"};
  std::string device, modulePath, registry, batch;
  bool quiet = false;
  app.set_version_flag("--version", "merlo " MERLO_VERSION);
  app.add_option("--device", device,
#if defined(_WIN32)
                 "a folder that the emulated device presents as its root (without it, the "
                 "device through the system's device-access library)"
#else
                 "the folder that the emulated device presents as its root"
#endif
  );
  app.add_option("--module", modulePath, "the module to load (default: beside merlo)");
  app.add_option("--registry", registry, "settings file the module reads (Linux)");
  app.add_option("-b", batch,
                 "run the commands in FILE (- for standard input), stopping at "
                 "the first that fails")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", quiet, "print only errors and what a command is asked to show");
  app.prefix_command();
  app.footer(
      "With a COMMAND, merlo runs it (\";\" separates several) and exits; without one it\n"
      "reads commands, one a line, until \"exit\" or the end of the input. \"merlo help\"\n"
      "lists the commands.\n"
      "Exit status: 0 all done; 1 a command failed or did not do all it was asked;\n"
      "2 usage or setup; 3 no connection to the device.");
  try {
    app.parse(static_cast<int>(argumentTexts.size()), argumentTexts.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? merlo::kAllDone : merlo::kUsageOrSetup;
  }
  merlo::Words command = app.remaining();
  if (!command.empty() && command.front() == "--") {
    command.erase(command.begin());
  } else if (!command.empty() && command.front().size() > 1 && command.front()[0] == '-') {
    std::cerr << "merlo: unknown option " << command.front()
              << "; \"merlo --help\" tells the usage\n";
    return merlo::kUsageOrSetup;
  }
  // Help needs no device.
  if (!command.empty() && (command.front() == "help" || command.front() == "?")) {
    return merlo::PrintHelp(merlo::Words(command.begin() + 1, command.end()), std::cout, std::cerr)
               ? merlo::kAllDone
               : merlo::kCommandFailed;
  }
  if (!batch.empty() && !command.empty()) {
    std::cerr << "merlo: -b takes the commands from its file; give no COMMAND as well\n";
    return merlo::kUsageOrSetup;
  }

  if (!device.empty()) {
    std::error_code ec;
    if (!fs::is_directory(merlo::PathFromUser(device), ec)) {
      std::cerr << "merlo: " << device << " is no folder\n";
      return merlo::kUsageOrSetup;
    }
    SetEnvironment("MERLO_DEVICE_ROOT",
                   merlo::AbsoluteLocalPath(merlo::PathFromUser(device)).string());
#if defined(_WIN32)
    std::string error;
    if (!LoadEmulatedDevice(&error)) {
      std::cerr << "merlo: " << error << '\n';
      return merlo::kUsageOrSetup;
    }
#endif
  } else {
#if !defined(_WIN32)
    const char* root = std::getenv("MERLO_DEVICE_ROOT");
    if (root == nullptr || *root == '\0') {
      std::cerr << "merlo: --device DIR is needed: here the device is a folder that the "
                   "emulated device library presents (or set MERLO_DEVICE_ROOT)\n";
      return merlo::kUsageOrSetup;
    }
#endif
  }
  if (!registry.empty())
    SetEnvironment("MERLO_REGISTRY_FILE",
                   merlo::AbsoluteLocalPath(merlo::PathFromUser(registry)).string());

  std::ifstream batchFile;
  if (!batch.empty() && batch != "-") {
    batchFile.open(merlo::PathFromUser(batch), std::ios::binary);
    if (!batchFile) {
      std::cerr << "merlo: cannot read " << batch << '\n';
      return merlo::kUsageOrSetup;
    }
  }

  modulePath = modulePath.empty()
                   ? merlo::ExecutableFolder() + merlo::DefaultModuleName()
                   : merlo::AbsoluteLocalPath(merlo::PathFromUser(modulePath)).string();
  std::string error;
  if (!merlo::LoadModuleTexts(merlo::FolderOf(modulePath) + "MERLOEng.lng", &error)) {
    std::cerr << "merlo: " << error << "; the module's texts will be empty\n";
  }
  merlo::ModuleLibrary library;
  merlo::EntryPoints module;
  if (!library.Load(modulePath, &error) || !library.Resolve(&module, &error)) {
    std::cerr << "merlo: " << error << '\n';
    return merlo::kUsageOrSetup;
  }

  StartupRecord startup;
  std::memset(&startup, 0, sizeof startup);
  startup.ModuleId = merlo::kModuleId;
  startup.SettingsRoot = kSettingsRoot;
  startup.HostMessageBox = merlo::HostMessageBoxService;
  startup.HostText = merlo::HostTextService;
  module.SetStartupInfo(&startup);

  const PanelHandle panel = module.OpenPlugin(0, 0);
  if (panel == MERLO_NO_PANEL) {
    std::cerr << "merlo: no connection to the device\n";
    module.ExitFAR();
    return merlo::kNoConnection;
  }

  merlo::InstallInterruptHandler();
  merlo::Session session(module, panel, std::cout, std::cerr);
  session.SetQuiet(quiet);
  session.SetLiveProgress(!quiet && merlo::IsTerminal(stdout));
  int status = merlo::kAllDone;
  if (!command.empty()) {
    status = merlo::RunCommandWords(session, command);
  } else if (!batch.empty()) {
    status = merlo::RunScript(session, batch == "-" ? std::cin : batchFile, !quiet, std::cout);
  } else {
    merlo::LineEditor editor([&session](const std::string& line, size_t cursor) {
      return merlo::Complete(session, line, cursor);
    });
    if (editor.interactive()) {
      if (!quiet) {
        std::cout << "merlo on "
                  << (device.empty()
                          ? std::string("the device")
                          : merlo::AbsoluteLocalPath(merlo::PathFromUser(device)).string())
                  << "; \"help\" lists the commands.\n";
      }
      status = merlo::RunInteractive(session, editor, std::cout);
    } else {
      status = merlo::RunScript(session, std::cin, false, std::cout);
    }
  }

  module.ClosePlugin(panel);
  module.ExitFAR();
  std::cout << std::flush;
  return status;
}
