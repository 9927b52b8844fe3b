// The program. "--help", "--version", "--set-password" and "--set-user" as the
// sole argument are done before anything else. With a display (DISPLAY or
// WAYLAND_DISPLAY set) the program shows its Qt window, from the module that
// holds it; without one, and for a send-and-exit run (which never waits on a
// box), it runs as a console program for scripts, and loads no Qt at all.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/SoleCommands.h"
#include "app/View.h"
#include "platform/ProgramPath.h"
#include "ui/ConsoleFrontEnd.h"
#include "ui/WindowModule.h"

namespace {

bool HaveDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = pw::ProcessArgs(argc, argv);
    if (const pw::TSoleCommand command = pw::SoleCommandOf(args); command != pw::TSoleCommand::None) {
        return pw::RunSoleCommand(command, pw::ProgramFileName(), STDIN_FILENO, stdout, stderr);
    }
    if (HaveDisplay() && !pw::IsSendAndExitRun(args)) {
        std::string error;
        if (const pw::TWindowMain windowMain = pw::LoadWindowModule(pw::ProgramFolder(), &error)) {
            return windowMain(argc, argv);
        }
        // Without its window the program still does what a script asked of it.
        std::fprintf(stderr, "%s: the window cannot be shown (%s); going on without it\n", pw::ApplicationTitle,
                     error.c_str());
    }
    return pw::RunConsoleFrontEnd(argc, argv);
}
