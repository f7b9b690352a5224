// merlo: loads the module as the host file manager does, supplies the host's
// services, and gives the user a shell on the device.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "host_services.h"
#include "line_reader.h"
#include "module.h"
#include "session.h"

#if defined(_WIN32)
#include "platform/win32/windows_api.h"
#endif

namespace fs = std::filesystem;

namespace {

// Exit statuses.
constexpr int kCommandFailed = 1;
constexpr int kSetupFailed = 2;
constexpr int kNotConnected = 3;

// The key below which the module keeps its settings.
constexpr const char* kSettingsRoot = "Software\\Merlo\\Plugins";

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  // Both the process block and the C runtime's copy: a library loaded later
  // may read either.
  SetEnvironmentVariableA(name, value.c_str());
  _putenv((std::string(name) + "=" + value).c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
  return absolute.string();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A shell on the device, through the MERLO module.", "merlo"};
  std::string device;
  std::string modulePath;
  std::string registry;
  app.add_option("--device", device, "folder that the emulated device presents as its root")
      ->required();
  app.add_option("--module", modulePath, "the module to load (default: beside merlo)");
  app.add_option("--registry", registry, "settings file the module reads (Linux)");
  app.prefix_command();
  app.footer(
      "With a COMMAND, merlo runs it and exits; without one it reads commands, one a line,\n"
      "until \"exit\" or the end of the input. \"merlo --device DIR help\" lists them.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kSetupFailed;
  }
  std::vector<std::string> command = app.remaining();
  if (!command.empty() && command.front() == "--") command.erase(command.begin());

  std::error_code ec;
  if (!fs::is_directory(device, ec)) {
    std::cerr << "merlo: " << device << " is no folder\n";
    return kSetupFailed;
  }
  SetEnvironment("MERLO_DEVICE_ROOT", AbsolutePath(device));
  if (!registry.empty()) SetEnvironment("MERLO_REGISTRY_FILE", AbsolutePath(registry));

  modulePath = modulePath.empty() ? merlo::ExecutableFolder() + merlo::DefaultModuleName()
                                  : AbsolutePath(modulePath);
  std::string error;
  if (!merlo::LoadModuleTexts(merlo::FolderOf(modulePath) + "MERLOEng.lng", &error)) {
    std::cerr << "merlo: " << error << "; the module's texts will be empty\n";
  }

  merlo::ModuleLibrary library;
  merlo::EntryPoints module;
  if (!library.Load(modulePath, &error) || !library.Resolve(&module, &error)) {
    std::cerr << "merlo: " << error << '\n';
    return kSetupFailed;
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
    return kNotConnected;
  }

  merlo::Session session(module, panel, std::cout, std::cerr);
  bool allOk = true;
  bool interactive = false;
  if (!command.empty()) {
    allOk = session.Run(command);
  } else {
    merlo::LineReader reader;
    interactive = reader.interactive();
    if (interactive) {
      std::cout << "merlo on " << AbsolutePath(device) << "; \"help\" lists the commands.\n";
    }
    while (!session.ExitRequested()) {
      const auto line = reader.Read("merlo " + session.DeviceFolder() + "> ");
      if (!line) break;
      if (!session.RunLine(*line)) allOk = false;
    }
    if (interactive && !session.ExitRequested()) std::cout << '\n';
  }

  module.ClosePlugin(panel);
  module.ExitFAR();
  // At a terminal a failed command is the user's to see; a command given on
  // the command line or a script read from a pipe reports it in the status.
  return allOk || interactive ? 0 : kCommandFailed;
}
