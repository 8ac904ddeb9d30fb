#include "LinuxHidPlatform.h"
#include "NativeHidPlatform.h"

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
    return std::make_unique<LinuxHidPlatform>();
}
