#pragma once

// The binding for the system the program is built for. The build links the one
// binding that fits (Linux: hidraw and libudev; Windows: SetupApi and HID.dll);
// front-ends ask here and never name a binding.

#include "HidPlatform.h"

#include <memory>

std::unique_ptr<HidPlatform> createNativeHidPlatform();
