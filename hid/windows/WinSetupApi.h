#pragma once

// The device-setup library ("SetupApi.dll"), loaded at run time through
// ModuleLoader with the entry points the enumeration calls resolved by name,
// and the interface walk over it. Plain C++: no Qt, no <windows.h>.

#include "ModuleLoader.h"
#include "WinTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace WinSys {

// The library's records, declared here with its packing so that the size
// fields are right for the target (28/28/5 bytes on 32-bit, 32/32/8 on 64-bit).
#if defined(_WIN64)
#pragma pack(push, 8)
#else
#pragma pack(push, 1)
#endif
struct SpDeviceInterfaceData {
    unsigned long cbSize;
    Guid InterfaceClassGuid;
    unsigned long Flags;
    uintptr_t Reserved;
};
struct SpDevinfoData {
    unsigned long cbSize;
    Guid ClassGuid;
    unsigned long DevInst;
    uintptr_t Reserved;
};
struct SpDeviceInterfaceDetailDataA {
    unsigned long cbSize;
    char DevicePath[1];
};
#pragma pack(pop)

#define QUORVI_SETUPAPI_ENTRY_POINTS(X)                                                                      \
    X(void*, SetupDiGetClassDevsA, (const Guid*, const char*, void*, unsigned long))                         \
    X(int, SetupDiEnumDeviceInterfaces,                                                                      \
      (void*, SpDevinfoData*, const Guid*, unsigned long, SpDeviceInterfaceData*))                           \
    X(int, SetupDiGetDeviceInterfaceDetailA,                                                                 \
      (void*, SpDeviceInterfaceData*, SpDeviceInterfaceDetailDataA*, unsigned long, unsigned long*,          \
       SpDevinfoData*))                                                                                      \
    X(int, SetupDiGetDeviceRegistryPropertyA,                                                                \
      (void*, SpDevinfoData*, unsigned long, unsigned long*, unsigned char*, unsigned long, unsigned long*)) \
    X(int, SetupDiGetDeviceInstanceIdA, (void*, SpDevinfoData*, char*, unsigned long, unsigned long*))       \
    X(int, SetupDiDestroyDeviceInfoList, (void*))

class SetupLibrary {
public:
    explicit SetupLibrary(std::string fileName = "SetupApi.dll");
    ~SetupLibrary();
    SetupLibrary(const SetupLibrary&) = delete;
    SetupLibrary& operator=(const SetupLibrary&) = delete;

    // Counted: the first use loads and resolves, later ones only count. Any
    // missing name unloads again and fails.
    bool LoadSetupApi();
    // The last use releases the library and empties the table.
    void UnloadSetupApi();
    bool IsSetupApiLoaded() const { return m_module != nullptr; }
    int useCount() const { return m_useCount; }

#define QUORVI_SETUPAPI_TYPEDEF(ret, name, args) using name##_t = ret(QUORVI_WINAPI*) args;
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_SETUPAPI_TYPEDEF)
#undef QUORVI_SETUPAPI_TYPEDEF
#define QUORVI_SETUPAPI_MEMBER(ret, name, args) name##_t name = nullptr;
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_SETUPAPI_MEMBER)
#undef QUORVI_SETUPAPI_MEMBER

private:
    void clearTable();

    std::string m_fileName;
    TModuleHandle m_module = nullptr;
    int m_useCount = 0;
};

// Flags of the walk: present devices, interface classes.
constexpr unsigned long PresentInterfaces = 0x12;

// One setup property as read for the device's snapshot.
struct SetupProperty {
    enum Kind { Number, Text, List };
    unsigned long code = 0;
    Kind kind = Number;
    bool present = false; // false: the query failed, the preset stays
    uint32_t number = 0;
    std::string text;
    std::vector<std::string> list;
};

// The property codes read, in the order they are read, with their kinds.
const std::vector<std::pair<unsigned long, SetupProperty::Kind>>& snapshotProperties();

// A text property runs to the first zero byte (or the buffer's end).
std::string decodeText(const unsigned char* buffer, size_t size);
// A list property is split at zero bytes until an empty item.
std::vector<std::string> decodeList(const unsigned char* buffer, size_t size);

struct InterfaceInfo {
    std::string path;
    uint32_t instance = 0; // the device information record's instance
    // The device instance path: without a serial number it is made from where
    // the device is plugged in, so it serves as the port. Empty when unreadable.
    std::string instanceId;
    std::vector<SetupProperty> properties;
};

// A snapshot of the present interfaces of one class; released with the object.
class InterfaceSet {
public:
    // nullptr when the library is not loaded or no set can be had.
    static std::unique_ptr<InterfaceSet> open(const SetupLibrary& library, const Guid& classGuid,
                                              unsigned long flags = PresentInterfaces);
    ~InterfaceSet();
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    // True when an interface exists at index; false after the last one.
    bool enumInterface(int index);
    // Path, instance and properties of the interface at index; false when
    // they cannot be read, so the caller moves on to the next index.
    bool interfaceDetail(int index, InterfaceInfo& info);

private:
    InterfaceSet(const SetupLibrary& library, void* set, const Guid& classGuid);
    bool enumAt(int index, SpDeviceInterfaceData& data);
    void readProperties(SpDevinfoData& device, std::vector<SetupProperty>& properties);

    const SetupLibrary& m_library;
    void* m_set;
    Guid m_classGuid;
};

} // namespace WinSys
