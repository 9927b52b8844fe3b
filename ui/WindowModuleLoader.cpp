#include "ui/WindowModule.h"

#include <dlfcn.h>
#include <unistd.h>

namespace pw {

std::vector<std::string> WindowModulePaths(const std::string& programFolder) {
    return {programFolder + WindowModuleFileName, programFolder + "../lib/parcelwing/" + WindowModuleFileName};
}

TWindowMain LoadWindowModule(const std::string& programFolder, std::string* error) {
    const std::vector<std::string> paths = WindowModulePaths(programFolder);
    for (const std::string& path : paths) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* why = ::dlerror();
            if (error != nullptr) *error = why != nullptr ? why : path + ": cannot be loaded";
            return nullptr;
        }
        if (void* entry = ::dlsym(module, WindowModuleEntry)) {
            return reinterpret_cast<TWindowMain>(entry);
        }
        if (error != nullptr) *error = path + ": no " + WindowModuleEntry;
        return nullptr;
    }
    if (error != nullptr) *error = std::string(WindowModuleFileName) + " not found beside the program";
    return nullptr;
}

}  // namespace pw
