#pragma once

// A device lent out by its controller, and the promise to give it back.
//
// THidDeviceController::CheckOutNext/CheckOutAt fill one in. The device goes
// back to its controller exactly once: when the holder resets it, assigns
// another device to it, or lets it go out of scope. Its controller then puts
// a fresh object for the same device into the list slot, or drops the entry
// when the device is gone. A device whose controller was destroyed first is
// simply released. Move-only; used on the controller's thread.

#include <cstddef>
#include <utility>

class THidDevice;
class THidDeviceController;

class CheckedOutDevice {
public:
    CheckedOutDevice() noexcept = default;
    CheckedOutDevice(std::nullptr_t) noexcept {}
    ~CheckedOutDevice() { reset(); }

    CheckedOutDevice(CheckedOutDevice&& other) noexcept : m_device(std::exchange(other.m_device, nullptr)) {}
    CheckedOutDevice& operator=(CheckedOutDevice&& other) noexcept {
        // Take the new device before the old one goes back: the check-in may
        // run a pending data handler, which must find this holder settled.
        THidDevice* const old = std::exchange(m_device, std::exchange(other.m_device, nullptr));
        giveBack(old);
        return *this;
    }
    CheckedOutDevice& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    // Checks the device in now; nothing when empty.
    void reset() noexcept { giveBack(std::exchange(m_device, nullptr)); }

    THidDevice* get() const noexcept { return m_device; }
    THidDevice* operator->() const noexcept { return m_device; }
    THidDevice& operator*() const noexcept { return *m_device; }
    explicit operator bool() const noexcept { return m_device != nullptr; }

    friend bool operator==(const CheckedOutDevice& a, const THidDevice* b) noexcept {
        return a.m_device == b;
    }

private:
    friend class THidDeviceController;
    explicit CheckedOutDevice(THidDevice* device) noexcept : m_device(device) {}
    static void giveBack(THidDevice* device) noexcept; // HidControllerClass.cpp

    THidDevice* m_device = nullptr;
};
