#include "HeifLibrary.h"

#include <dlfcn.h>

#include <string>

namespace {

struct Loaded {
    HeifLibrary library;
    std::string error;
    bool ok = false;

    Loaded() {
        void* handle = dlopen(TESSALINE_HEIF_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            error = std::string("HEIF library cannot be loaded: ") + dlerror();
            return;
        }
#define TESSALINE_HEIF_RESOLVE(name)                                                                \
    library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, #name));                 \
    if (!library.name) {                                                                           \
        error = "HEIF library lacks " #name;                                                       \
        return;                                                                                    \
    }
        TESSALINE_HEIF_FUNCTIONS(TESSALINE_HEIF_RESOLVE)
#undef TESSALINE_HEIF_RESOLVE
        library.heif_init(nullptr);
        ok = true;
    }
};

const Loaded& Once() {
    static const Loaded loaded; // the library stays loaded for the process
    return loaded;
}

} // namespace

const HeifLibrary* LoadHeifLibrary() {
    return Once().ok ? &Once().library : nullptr;
}

const char* HeifLibraryError() {
    return Once().error.c_str();
}
