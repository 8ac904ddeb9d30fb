#pragma once

// Run-time loading of shared libraries: the system libraries of the HID
// binding are not linked at build time.

using TModuleHandle = void*;

namespace ModuleLoader {
// If handle is null, loads the library into it; true when handle is set.
bool LoadModule(TModuleHandle& handle, const char* fileName);
// Releases the library if loaded; handle becomes null.
void UnloadModule(TModuleHandle& handle);
// The entry point of that exact name, or null (also when handle is null).
void* GetModuleSymbol(TModuleHandle handle, const char* name);
// As GetModuleSymbol; accu stays true only if it was and the name was found.
void* GetModuleSymbolEx(TModuleHandle handle, const char* name, bool& accu);
} // namespace ModuleLoader
