#include "SetupApi.h"

SetupApi::SetupApi(QByteArray libraryName) : m_libraryName(std::move(libraryName)) {}

SetupApi::~SetupApi() {
    ModuleLoader::UnloadModule(m_module);
}

bool SetupApi::LoadSetupApi() {
    ++m_useCount;
    if (m_useCount > 1)
        return true;
    bool found = ModuleLoader::LoadModule(m_module, m_libraryName.constData());
#define QUORVI_UDEV_RESOLVE(ret, name, args)                                                                 \
    name = reinterpret_cast<name##_t>(ModuleLoader::GetModuleSymbolEx(m_module, #name, found));
    QUORVI_UDEV_ENTRY_POINTS(QUORVI_UDEV_RESOLVE)
#undef QUORVI_UDEV_RESOLVE
    if (!found) {
        UnloadSetupApi();
        return false;
    }
    return true;
}

void SetupApi::UnloadSetupApi() {
    --m_useCount;
    if (m_useCount > 0)
        return;
    m_useCount = 0;
    ModuleLoader::UnloadModule(m_module);
    clearTable();
}

void SetupApi::clearTable() {
#define QUORVI_UDEV_CLEAR(ret, name, args) name = nullptr;
    QUORVI_UDEV_ENTRY_POINTS(QUORVI_UDEV_CLEAR)
#undef QUORVI_UDEV_CLEAR
}
