// merlo: loads the module as the host file manager does, supplies the host's
// services, and gives the user a shell on the device.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "host_services.h"
#include "interrupt.h"
#include "line_editor.h"
#include "module.h"
#include "platform.h"
#include "script.h"
#include "session.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// The key below which the module keeps its settings.
constexpr const char* kSettingsRoot = "Software\\Merlo\\Plugins";

// The usage line names the commands, so that "merlo --help" alone tells what
// merlo can do.
class UsageFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App*, std::string name) const override {
    std::string commands;
    size_t column = 0;
    for (const auto& command : merlo::CommandTable()) {
      const std::string word = command.Name;
      if (column + word.size() + 2 > 68) {
        commands += ",\n   ";
        column = 0;
      } else if (!commands.empty()) {
        commands += ", ";
      }
      commands += word;
      column += word.size() + 2;
    }
    return "Usage: " + name + " [OPTIONS] [COMMAND [ARGUMENTS...]]\nCOMMAND is one of:\n   " +
           commands + "\n";
  }
};

// Standard output and standard error took everything written to them; a
// write that failed (a full disk, a closed pipe) ends merlo with status 2.
int CheckOutput(int status) {
  std::cout.flush();
  std::cerr.flush();
  const bool outFailed = !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  const bool errFailed = !std::cerr || std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
  if (!outFailed && !errFailed) return status;
  if (outFailed && !errFailed) {
    std::cerr << "merlo: could not write to standard output\n" << std::flush;
  }
  return merlo::kUsageOrSetup;
}

int Run(int argc, char** argv) {
  merlo::platform::PrepareUserText();
  // UTF-8, whatever the console's or the system's code page.
  std::vector<std::string> arguments = merlo::platform::ProgramArguments(argc, argv);
  // "/?" is help, as Windows' own tools take it.
  for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) {
    if (arguments[i] == "/?") arguments[i] = "--help";
    if (arguments[i] == "--device" || arguments[i] == "--module" || arguments[i] == "--registry" ||
        arguments[i] == "-b") {
      ++i;  // the option's value
    } else if (arguments[i].empty() || arguments[i][0] != '-') {
      break;  // the command, whose words are its own
    }
  }
  std::vector<const char*> argumentTexts;
  for (const auto& argument : arguments) argumentTexts.push_back(argument.c_str());
  CLI::App app{"merlo: a shell on a Windows CE device, through the MERLO module.", "merlo"};
  std::string device, modulePath, registry, batch;
  bool quiet = false;
  app.set_version_flag("--version", "merlo " MERLO_VERSION);
  app.formatter(std::make_shared<UsageFormatter>());
  app.add_option("--device", device,
                 merlo::platform::HasSystemDevice()
                     ? "a folder that an emulated device presents as its root (without it, the "
                       "device connected to this PC)"
                     : "the folder that the emulated device presents as its root")
      ->type_name("DIR");
  app.add_option("--module", modulePath, "the module to load (default: beside merlo)")
      ->type_name("FILE");
  if (merlo::platform::HasRegistryFile()) {
    app.add_option("--registry", registry, "the settings file that the module reads")
        ->type_name("FILE");
  }
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
    merlo::platform::SetEnvironment("MERLO_DEVICE_ROOT",
                                    merlo::AbsoluteLocalPath(merlo::PathFromUser(device)).string());
  }
  std::string error;
  switch (merlo::platform::PrepareDeviceLibrary(!device.empty(), &error)) {
    case merlo::platform::DeviceLibraryState::kReady:
      break;
    case merlo::platform::DeviceLibraryState::kNotInstalled:
      std::cerr << "merlo: " << error << '\n';
      return merlo::kNoConnection;
    case merlo::platform::DeviceLibraryState::kNoDeviceGiven:
    case merlo::platform::DeviceLibraryState::kEmulatorMissing:
      std::cerr << "merlo: " << error << '\n';
      return merlo::kUsageOrSetup;
  }
  if (!registry.empty())
    merlo::platform::SetEnvironment(
        "MERLO_REGISTRY_FILE", merlo::AbsoluteLocalPath(merlo::PathFromUser(registry)).string());

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
    status = merlo::RunScript(session, batch == "-" ? std::cin : batchFile,
                              batch == "-" ? "standard input" : batch, !quiet, std::cout);
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
      // Piped commands are echoed after the prompt, as -b echoes them, so that
      // the output reads as the session did.
      status = merlo::RunScript(session, std::cin, "standard input", !quiet, std::cout);
    }
  }

  module.ClosePlugin(panel);
  module.ExitFAR();
  return status;
}

}  // namespace

int main(int argc, char** argv) { return CheckOutput(Run(argc, argv)); }
