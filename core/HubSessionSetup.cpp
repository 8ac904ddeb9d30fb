#include "HubSessionSetup.h"

#include "HidPlatform.h"
#include "HubSession.h"
#include "HubUpdateLock.h"

namespace {

QString lockFolderFor(const HidPlatform& platform, const QString& stateFile) {
    if (!platform.isInProcess())
        return HubUpdateLock::machineFolder();
    return stateFile.isEmpty() ? QString() : HubUpdateLock::folderFor(stateFile);
}

} // namespace

HubSessionSetup::HubSessionSetup(const HidPlatform& platform, const QString& stateFile)
    : m_store(stateFile), m_history(stateFile), m_lockFolder(lockFolderFor(platform, stateFile)) {}

void HubSessionSetup::apply(HubSession& session, HubLocator& locator) {
    session.setLocator(&locator);
    session.setCalibrationStore(&m_store);
    session.setUpdateLockFolder(m_lockFolder);
    session.setHistory(stateFile().isEmpty() ? nullptr : &m_history);
}
