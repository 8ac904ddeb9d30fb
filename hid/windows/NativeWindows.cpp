#include "NativeHidPlatform.h"
#include "WindowsHidPlatform.h"

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
    return std::make_unique<WindowsHidPlatform>();
}
