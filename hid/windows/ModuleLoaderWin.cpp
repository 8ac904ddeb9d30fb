#include "ModuleLoader.h"

#include <windows.h>

#include <cstring>

namespace ModuleLoader {

bool LoadModule(TModuleHandle& handle, const char* fileName) {
    if (handle)
        return true;
    // No error boxes for a library that is missing or broken: the caller
    // treats that as "no devices".
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    // A bare name comes from the system folder only, never from the program's
    // or the current folder, where a planted copy could be picked up.
    const bool bareName = !std::strchr(fileName, '\\') && !std::strchr(fileName, '/');
    HMODULE module = LoadLibraryExA(fileName, nullptr, bareName ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0);
    if (!module && bareName && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryA(fileName); // a system without the search flags
    SetThreadErrorMode(oldMode, nullptr);
    handle = reinterpret_cast<TModuleHandle>(module);
    return handle != nullptr;
}

void UnloadModule(TModuleHandle& handle) {
    if (handle)
        FreeLibrary(static_cast<HMODULE>(handle));
    handle = nullptr;
}

void* GetModuleSymbol(TModuleHandle handle, const char* name) {
    return handle ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)) : nullptr;
}

void* GetModuleSymbolEx(TModuleHandle handle, const char* name, bool& accu) {
    void* symbol = GetModuleSymbol(handle, name);
    accu = accu && symbol != nullptr;
    return symbol;
}

} // namespace ModuleLoader
