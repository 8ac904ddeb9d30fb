#pragma once

// The device-setup library on Linux: libudev, loaded at run time with every
// entry point resolved by name. No libudev headers are needed to build; the
// types are opaque and the signatures are our own.

#include "ModuleLoader.h"

#include <QByteArray>

struct udev;
struct udev_device;
struct udev_enumerate;
struct udev_list_entry;
struct udev_monitor;

#define QUORVI_UDEV_ENTRY_POINTS(X)                                                                          \
    X(udev*, udev_new, (void))                                                                               \
    X(udev*, udev_unref, (udev*))                                                                            \
    X(udev_enumerate*, udev_enumerate_new, (udev*))                                                          \
    X(udev_enumerate*, udev_enumerate_unref, (udev_enumerate*))                                              \
    X(int, udev_enumerate_add_match_subsystem, (udev_enumerate*, const char*))                               \
    X(int, udev_enumerate_add_match_is_initialized, (udev_enumerate*))                                       \
    X(int, udev_enumerate_scan_devices, (udev_enumerate*))                                                   \
    X(udev_list_entry*, udev_enumerate_get_list_entry, (udev_enumerate*))                                    \
    X(udev_list_entry*, udev_list_entry_get_next, (udev_list_entry*))                                        \
    X(const char*, udev_list_entry_get_name, (udev_list_entry*))                                             \
    X(udev_device*, udev_device_new_from_syspath, (udev*, const char*))                                      \
    X(udev_device*, udev_device_unref, (udev_device*))                                                       \
    X(const char*, udev_device_get_devnode, (udev_device*))                                                  \
    X(const char*, udev_device_get_sysname, (udev_device*))                                                  \
    X(const char*, udev_device_get_syspath, (udev_device*))                                                  \
    X(const char*, udev_device_get_driver, (udev_device*))                                                   \
    X(udev_device*, udev_device_get_parent_with_subsystem_devtype, (udev_device*, const char*, const char*)) \
    X(const char*, udev_device_get_property_value, (udev_device*, const char*))                              \
    X(const char*, udev_device_get_sysattr_value, (udev_device*, const char*))                               \
    X(udev_monitor*, udev_monitor_new_from_netlink, (udev*, const char*))                                    \
    X(int, udev_monitor_filter_add_match_subsystem_devtype, (udev_monitor*, const char*, const char*))       \
    X(int, udev_monitor_enable_receiving, (udev_monitor*))                                                   \
    X(int, udev_monitor_get_fd, (udev_monitor*))                                                             \
    X(udev_device*, udev_monitor_receive_device, (udev_monitor*))                                            \
    X(udev_monitor*, udev_monitor_unref, (udev_monitor*))

class SetupApi {
public:
    explicit SetupApi(QByteArray libraryName = "libudev.so.1");
    ~SetupApi();
    SetupApi(const SetupApi&) = delete;
    SetupApi& operator=(const SetupApi&) = delete;

    // Counted: the first use loads and resolves, later ones only count. Any
    // missing name unloads again and fails.
    bool LoadSetupApi();
    // The last use releases the library and empties the table.
    void UnloadSetupApi();
    bool IsSetupApiLoaded() const { return m_module != nullptr; }
    int useCount() const { return m_useCount; }

#define QUORVI_UDEV_TYPEDEF(ret, name, args) using name##_t = ret(*) args;
    QUORVI_UDEV_ENTRY_POINTS(QUORVI_UDEV_TYPEDEF)
#undef QUORVI_UDEV_TYPEDEF
#define QUORVI_UDEV_MEMBER(ret, name, args) name##_t name = nullptr;
    QUORVI_UDEV_ENTRY_POINTS(QUORVI_UDEV_MEMBER)
#undef QUORVI_UDEV_MEMBER

private:
    void clearTable();

    QByteArray m_libraryName;
    TModuleHandle m_module = nullptr;
    int m_useCount = 0;
};
