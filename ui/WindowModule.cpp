// The entry point of parcelwing-window.so, which the program loads when there
// is a display (see WindowModule.h).

#include "ui/QtFrontEnd.h"

extern "C" __attribute__((visibility("default"))) int ParcelwingWindowMain(int argc, char** argv) {
    return pw::RunQtFrontEnd(argc, argv);
}
