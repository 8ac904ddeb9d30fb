#pragma once

// The binding for the platform the program is built for.

#if defined(_WIN32)
#include "WindowsHidPlatform.h"
using NativeHidPlatform = WindowsHidPlatform;
#else
#include "LinuxHidPlatform.h"
using NativeHidPlatform = LinuxHidPlatform;
#endif
