#include "ModuleLoader.h"

#include <dlfcn.h>

namespace ModuleLoader {

bool LoadModule(TModuleHandle& handle, const char* fileName) {
    if (!handle)
        handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr;
}

void UnloadModule(TModuleHandle& handle) {
    if (handle)
        dlclose(handle);
    handle = nullptr;
}

void* GetModuleSymbol(TModuleHandle handle, const char* name) {
    return handle ? dlsym(handle, name) : nullptr;
}

void* GetModuleSymbolEx(TModuleHandle handle, const char* name, bool& accu) {
    void* symbol = GetModuleSymbol(handle, name);
    accu = accu && symbol != nullptr;
    return symbol;
}

} // namespace ModuleLoader
