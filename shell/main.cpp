#include "shell/client_config.h"
#include "shell/console.h"
#include "shell/office_command.h"
#include "shell/options.h"
#include "shell/server_app.h"
#include "shell/tls_setup.h"
#include "shell/user_command.h"
#include "store/users.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#if BREVIN_WITH_GUI
#include "shell/qt/desktop.h"
#endif

int main(int argc, char** argv) {
    using namespace brevin;
    const std::string programPath = argc > 0 ? argv[0] : "brevin";
    const std::string program = std::filesystem::path(programPath).filename().string();
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);

    if (!args.empty() && args.front() == "user") {
        std::error_code ec;
        const auto workingDirectory = std::filesystem::current_path(ec);
        return RunUserCommand({args.begin() + 1, args.end()},
                              BuildProfilePath(workingDirectory, programPath), std::cin, std::cout,
                              std::cerr);
    }

    if (!args.empty() && IsOfficeCommand(args.front())) {
        std::error_code ec;
        const auto workingDirectory = std::filesystem::current_path(ec);
        return RunOfficeCommand(args.front(), {args.begin() + 1, args.end()},
                                BuildProfilePath(workingDirectory, programPath), std::cout,
                                std::cerr);
    }

    if (!args.empty() && args.front() == "tls") {
        std::error_code ec;
        const auto workingDirectory = std::filesystem::current_path(ec);
        return RunTlsCommand({args.begin() + 1, args.end()},
                             BuildProfilePath(workingDirectory, programPath).parent_path(),
                             std::cout, std::cerr);
    }

    if (!args.empty() && args.front() == "client-config") {
        std::error_code ec;
        const auto workingDirectory = std::filesystem::current_path(ec);
        return RunClientConfigCommand({args.begin() + 1, args.end()},
                                      BuildProfilePath(workingDirectory, programPath), std::cout,
                                      std::cerr);
    }

    std::string error;
    const auto options = ParseOptions(args, error);
    if (!options) {
        std::cerr << program << ": " << error << "\n\n" << UsageText(program);
        return 2;
    }
    if (options->help) {
        std::cout << UsageText(program);
        return 0;
    }
    if (options->version) {
        std::cout << "Brevin " << BREVIN_VERSION << "\n";
        return 0;
    }

    ServerApp app(*options, programPath);
#if BREVIN_WITH_GUI
    const bool displayNamed =
        std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!options->headless && displayNamed) {
        const int status = RunDesktop(app, argc, argv);
        if (status != kNoDisplay) {
            return status;
        }
        std::cerr << program << ": cannot open the display; running without windows\n";
    }
#endif
    return RunConsole(app);
}
