#pragma once

// Plain types shared by the Windows binding's system layer and its Qt side.
// No <windows.h> here: the Qt side includes HidPlatform.h, whose names the
// system headers would redefine as macros.

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QUORVI_WINAPI __stdcall
#else
#define QUORVI_WINAPI
#endif

namespace WinSys {

using Handle = void*;
// INVALID_HANDLE_VALUE; the same value as the project's closed handle.
inline Handle invalidHandle() {
    return reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
}

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};
static_assert(sizeof(Guid) == 16);

// Error code of the last failed call on this thread (GetLastError).
unsigned long lastError();

} // namespace WinSys
