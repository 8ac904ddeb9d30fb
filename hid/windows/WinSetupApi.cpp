#include "WinSetupApi.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace WinSys {

static_assert(sizeof(SpDeviceInterfaceData) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SpDevinfoData) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SpDeviceInterfaceDetailDataA) == (sizeof(void*) == 8 ? 8 : 5));
static_assert(sizeof(Guid) == sizeof(GUID));

unsigned long lastError() {
    return GetLastError();
}

SetupLibrary::SetupLibrary(std::string fileName) : m_fileName(std::move(fileName)) {}

SetupLibrary::~SetupLibrary() {
    ModuleLoader::UnloadModule(m_module);
}

bool SetupLibrary::LoadSetupApi() {
    ++m_useCount;
    if (m_useCount > 1)
        return true;
    bool found = ModuleLoader::LoadModule(m_module, m_fileName.c_str());
#define QUORVI_SETUPAPI_RESOLVE(ret, name, args)                                                             \
    name = reinterpret_cast<name##_t>(ModuleLoader::GetModuleSymbolEx(m_module, #name, found));
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_SETUPAPI_RESOLVE)
#undef QUORVI_SETUPAPI_RESOLVE
    if (!found) {
        UnloadSetupApi();
        return false;
    }
    return true;
}

void SetupLibrary::UnloadSetupApi() {
    --m_useCount;
    if (m_useCount > 0)
        return;
    m_useCount = 0;
    ModuleLoader::UnloadModule(m_module);
    clearTable();
}

void SetupLibrary::clearTable() {
#define QUORVI_SETUPAPI_CLEAR(ret, name, args) name = nullptr;
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_SETUPAPI_CLEAR)
#undef QUORVI_SETUPAPI_CLEAR
}

const std::vector<std::pair<unsigned long, SetupProperty::Kind>>& snapshotProperties() {
    using K = SetupProperty::Kind;
    static const std::vector<std::pair<unsigned long, K>> table = {
        {15, K::Number}, {7, K::Text},    {8, K::Text},    {2, K::List},  {10, K::Number}, {0, K::Text},
        {9, K::Text},    {12, K::Text},   {1, K::List},    {18, K::List}, {11, K::Text},   {17, K::List},
        {4, K::Text},    {28, K::Text},   {21, K::Number}, {19, K::Text}, {27, K::Text},   {25, K::Number},
        {22, K::Text},   {26, K::Number}, {20, K::Number}, {13, K::Text}, {14, K::Text},   {24, K::Text},
        {16, K::Number}, {30, K::Text},
    };
    return table;
}

std::string decodeText(const unsigned char* buffer, size_t size) {
    const void* end = std::memchr(buffer, 0, size);
    const size_t length = end ? size_t(static_cast<const unsigned char*>(end) - buffer) : size;
    return std::string(reinterpret_cast<const char*>(buffer), length);
}

std::vector<std::string> decodeList(const unsigned char* buffer, size_t size) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < size) {
        std::string item = decodeText(buffer + pos, size - pos);
        if (item.empty())
            break;
        pos += item.size() + 1;
        items.push_back(std::move(item));
    }
    return items;
}

std::unique_ptr<InterfaceSet> InterfaceSet::open(const SetupLibrary& library, const Guid& classGuid,
                                                 unsigned long flags) {
    if (!library.IsSetupApiLoaded())
        return nullptr;
    void* set = library.SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE || !set)
        return nullptr;
    return std::unique_ptr<InterfaceSet>(new InterfaceSet(library, set, classGuid));
}

InterfaceSet::InterfaceSet(const SetupLibrary& library, void* set, const Guid& classGuid)
    : m_library(library), m_set(set), m_classGuid(classGuid) {}

InterfaceSet::~InterfaceSet() {
    if (m_library.IsSetupApiLoaded())
        m_library.SetupDiDestroyDeviceInfoList(m_set);
}

bool InterfaceSet::enumAt(int index, SpDeviceInterfaceData& data) {
    if (index < 0)
        return false;
    data = {};
    data.cbSize = sizeof(data);
    return m_library.SetupDiEnumDeviceInterfaces(m_set, nullptr, &m_classGuid,
                                                 static_cast<unsigned long>(index), &data) != FALSE;
}

bool InterfaceSet::enumInterface(int index) {
    SpDeviceInterfaceData data;
    return enumAt(index, data);
}

bool InterfaceSet::interfaceDetail(int index, InterfaceInfo& info) {
    SpDeviceInterfaceData data;
    if (!enumAt(index, data))
        return false;
    // First call: only the size. Anything but "buffer too small" with a
    // usable size means this interface cannot be read.
    unsigned long required = 0;
    if (m_library.SetupDiGetDeviceInterfaceDetailA(m_set, &data, nullptr, 0, &required, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        required <= sizeof(SpDeviceInterfaceDetailDataA::cbSize))
        return false;
    const size_t size = std::max<size_t>(required, sizeof(SpDeviceInterfaceDetailDataA)) + 1;
    // Whole words, so the record is aligned; the extra byte stays zero and
    // ends a path the library left unterminated.
    std::vector<unsigned long> storage(size / sizeof(unsigned long) + 1, 0);
    auto* detail = reinterpret_cast<SpDeviceInterfaceDetailDataA*>(storage.data());
    detail->cbSize = sizeof(SpDeviceInterfaceDetailDataA);
    SpDevinfoData device{};
    device.cbSize = sizeof(device);
    if (!m_library.SetupDiGetDeviceInterfaceDetailA(m_set, &data, detail,
                                                    static_cast<unsigned long>(size - 1), nullptr, &device))
        return false;
    const size_t pathOffset = offsetof(SpDeviceInterfaceDetailDataA, DevicePath);
    info.path = decodeText(reinterpret_cast<const unsigned char*>(detail) + pathOffset, size - pathOffset);
    if (info.path.empty())
        return false;
    info.instance = device.DevInst;
    std::vector<char> id(1024, 0);
    info.instanceId.clear();
    if (m_library.SetupDiGetDeviceInstanceIdA(m_set, &device, id.data(),
                                              static_cast<unsigned long>(id.size() - 1), nullptr))
        info.instanceId = decodeText(reinterpret_cast<const unsigned char*>(id.data()), id.size());
    info.properties.clear();
    readProperties(device, info.properties);
    return true;
}

void InterfaceSet::readProperties(SpDevinfoData& device, std::vector<SetupProperty>& properties) {
    std::vector<unsigned char> text(1024);
    std::vector<unsigned char> list(16384);
    for (const auto& [code, kind] : snapshotProperties()) {
        SetupProperty property;
        property.code = code;
        property.kind = kind;
        unsigned long type = 0;
        switch (kind) {
        case SetupProperty::Number: {
            DWORD value = 0;
            property.present = m_library.SetupDiGetDeviceRegistryPropertyA(
                m_set, &device, code, &type, reinterpret_cast<unsigned char*>(&value), sizeof(value),
                nullptr);
            if (property.present)
                property.number = value;
            break;
        }
        case SetupProperty::Text:
            text[0] = 0;
            property.present = m_library.SetupDiGetDeviceRegistryPropertyA(
                m_set, &device, code, &type, text.data(), DWORD(text.size()), nullptr);
            if (property.present)
                property.text = decodeText(text.data(), text.size());
            break;
        case SetupProperty::List:
            list[0] = 0;
            property.present = m_library.SetupDiGetDeviceRegistryPropertyA(
                m_set, &device, code, &type, list.data(), DWORD(list.size()), nullptr);
            if (property.present)
                property.list = decodeList(list.data(), list.size());
            break;
        }
        properties.push_back(std::move(property));
    }
}

} // namespace WinSys
