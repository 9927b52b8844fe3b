// The program. With a display (DISPLAY or WAYLAND_DISPLAY set) it is meant to
// show its Qt window; without one it runs as a console program for scripts.

#include <cstdlib>

#include "ui/ConsoleFrontEnd.h"
#include "ui/QtFrontEnd.h"

namespace {

bool HaveDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

}  // namespace

int main(int argc, char** argv) {
    if (HaveDisplay()) return pw::RunQtFrontEnd(argc, argv);
    return pw::RunConsoleFrontEnd(argc, argv);
}
