// Runs the Windows binding's system layer against the real system libraries
// (under wine on the build machine): loading and name resolution, the
// interface walk, open and write, the overlapped read and the device-change
// window. Prints each failed check and exits non-zero when any failed.

#include "DeviceChangeWindow.h"
#include "ModuleLoader.h"
#include "WinHid.h"
#include "WinSetupApi.h"

#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

// Only for comparing record layouts; hidpi.h needs the usage types first.
#include <hidusage.h>

#include <hidpi.h>
#include <hidsdi.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_failures = 0;
int g_checks = 0;

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        ++g_checks;                                                                                          \
        if (!(cond)) {                                                                                       \
            ++g_failures;                                                                                    \
            std::printf("FAILED %s:%d: %s (last error %lu)\n", __FILE__, __LINE__, #cond, GetLastError());   \
        }                                                                                                    \
    } while (0)

#define CHECK_EQ(a, b)                                                                                       \
    do {                                                                                                     \
        ++g_checks;                                                                                          \
        const auto va = (a);                                                                                 \
        const auto vb = (b);                                                                                 \
        if (!(va == vb)) {                                                                                   \
            ++g_failures;                                                                                    \
            std::printf("FAILED %s:%d: %s == %s (%lld vs %lld)\n", __FILE__, __LINE__, #a, #b,               \
                        static_cast<long long>(va), static_cast<long long>(vb));                             \
        }                                                                                                    \
    } while (0)

std::string g_folder; // the check program's folder, with a trailing separator

// {4D1E55B2-F16F-11CF-88CB-001111000030}
const WinSys::Guid HidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {884B96C3-56EF-11D1-BC8C-00A0C91405DD}: keyboards, which wine always has.
const WinSys::Guid KeyboardInterfaceClass = {
    0x884B96C3, 0x56EF, 0x11D1, {0xBC, 0x8C, 0x00, 0xA0, 0xC9, 0x14, 0x05, 0xDD}};

void recordsMatchTheSystemHeaders() {
    using namespace WinSys;
    CHECK_EQ(sizeof(SpDeviceInterfaceData), sizeof(SP_DEVICE_INTERFACE_DATA));
    CHECK_EQ(offsetof(SpDeviceInterfaceData, Flags), offsetof(SP_DEVICE_INTERFACE_DATA, Flags));
    CHECK_EQ(sizeof(SpDevinfoData), sizeof(SP_DEVINFO_DATA));
    CHECK_EQ(offsetof(SpDevinfoData, DevInst), offsetof(SP_DEVINFO_DATA, DevInst));
    CHECK_EQ(sizeof(SpDeviceInterfaceDetailDataA), sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    CHECK_EQ(offsetof(SpDeviceInterfaceDetailDataA, DevicePath),
             offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
    CHECK_EQ(sizeof(HidAttributes), sizeof(HIDD_ATTRIBUTES));
    CHECK_EQ(offsetof(HidAttributes, VendorID), offsetof(HIDD_ATTRIBUTES, VendorID));
    CHECK_EQ(offsetof(HidAttributes, VersionNumber), offsetof(HIDD_ATTRIBUTES, VersionNumber));
    // The Qt side copies the caps record word by word in this order.
    CHECK_EQ(sizeof(HidCapsRecord), sizeof(HIDP_CAPS));
    CHECK_EQ(offsetof(HIDP_CAPS, InputReportByteLength), 2 * sizeof(uint16_t));
    CHECK_EQ(offsetof(HIDP_CAPS, OutputReportByteLength), 3 * sizeof(uint16_t));
    CHECK_EQ(offsetof(HIDP_CAPS, NumberLinkCollectionNodes), 22 * sizeof(uint16_t));
    CHECK_EQ(offsetof(HIDP_CAPS, NumberFeatureDataIndices), 31 * sizeof(uint16_t));
    CHECK(WinSys::invalidHandle() == INVALID_HANDLE_VALUE);
}

void librariesLoadAndResolveEveryName() {
    WinSys::SetupLibrary setup;
    CHECK(setup.LoadSetupApi());
    CHECK(setup.IsSetupApiLoaded());
#define QUORVI_CHECK_NAME(ret, name, args) CHECK(setup.name != nullptr);
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_CHECK_NAME)
#undef QUORVI_CHECK_NAME

    // Counted: only the last unload releases the library.
    CHECK(setup.LoadSetupApi());
    CHECK_EQ(setup.useCount(), 2);
    setup.UnloadSetupApi();
    CHECK(setup.IsSetupApiLoaded());
    CHECK(setup.SetupDiGetClassDevsA != nullptr);
    setup.UnloadSetupApi();
    CHECK(!setup.IsSetupApiLoaded());
    CHECK_EQ(setup.useCount(), 0);
    CHECK(setup.SetupDiGetClassDevsA == nullptr);
    CHECK(setup.SetupDiDestroyDeviceInfoList == nullptr);
    // An extra unload does not drive the count below zero for the next load.
    setup.UnloadSetupApi();
    CHECK(setup.LoadSetupApi());
    CHECK_EQ(setup.useCount(), 1);
    setup.UnloadSetupApi();

    WinSys::HidLibrary hid;
    CHECK(hid.LoadHid());
#define QUORVI_CHECK_NAME(ret, name, args) CHECK(hid.name != nullptr);
    QUORVI_HID_ENTRY_POINTS(QUORVI_CHECK_NAME)
#undef QUORVI_CHECK_NAME
    WinSys::Guid guid;
    hid.HidD_GetHidGuid(&guid);
    CHECK(std::memcmp(&guid, &HidInterfaceClass, sizeof(guid)) == 0);
    hid.UnloadHid();
    CHECK(!hid.IsHidLoaded());
    CHECK(hid.HidD_GetAttributes == nullptr);
    CHECK(hid.HidP_GetCaps == nullptr);
}

void aMissingOrIncompleteLibraryCountsAsNotLoaded() {
    WinSys::SetupLibrary missingSetup("quorvi-no-such-setupapi.dll");
    CHECK(!missingSetup.LoadSetupApi());
    CHECK(!missingSetup.IsSetupApiLoaded());
    CHECK_EQ(missingSetup.useCount(), 0);
    CHECK(WinSys::InterfaceSet::open(missingSetup, HidInterfaceClass) == nullptr);

    WinSys::HidLibrary missingHid("quorvi-no-such-hid.dll");
    CHECK(!missingHid.LoadHid());
    CHECK(!missingHid.IsHidLoaded());

    // A real library without the names: the partly filled table is emptied.
    WinSys::SetupLibrary wrongSetup("kernel32.dll");
    CHECK(!wrongSetup.LoadSetupApi());
    CHECK(!wrongSetup.IsSetupApiLoaded());
    CHECK_EQ(wrongSetup.useCount(), 0);
#define QUORVI_CHECK_NAME(ret, name, args) CHECK(wrongSetup.name == nullptr);
    QUORVI_SETUPAPI_ENTRY_POINTS(QUORVI_CHECK_NAME)
#undef QUORVI_CHECK_NAME
    WinSys::HidLibrary wrongHid("setupapi.dll"); // has none of the HID names
    CHECK(!wrongHid.LoadHid());
    CHECK(wrongHid.HidD_GetHidGuid == nullptr);
}

void bareNamesComeFromTheSystemFolderOnly() {
    TModuleHandle module = nullptr;
    CHECK(!ModuleLoader::LoadModule(module, "quorvi-planted.dll"));
    CHECK(module == nullptr);
    CHECK(ModuleLoader::GetModuleSymbol(module, "quorviPlantedValue") == nullptr);
    const std::string full = g_folder + "quorvi-planted.dll";
    CHECK(ModuleLoader::LoadModule(module, full.c_str()));
    bool all = true;
    using Fn = int (*)();
    auto fn = reinterpret_cast<Fn>(ModuleLoader::GetModuleSymbolEx(module, "quorviPlantedValue", all));
    CHECK(all);
    CHECK(fn && fn() == 42);
    CHECK(ModuleLoader::GetModuleSymbolEx(module, "quorviNotThere", all) == nullptr);
    CHECK(!all);
    CHECK(ModuleLoader::GetModuleSymbolEx(module, "quorviPlantedValue", all) != nullptr);
    CHECK(!all); // stays false once a name was missing
    ModuleLoader::UnloadModule(module);
    CHECK(module == nullptr);
}

void propertyBuffersDecode() {
    const unsigned char text[] = {'H', 'I', 'D', 0, 'x', 'y'};
    CHECK(WinSys::decodeText(text, sizeof(text)) == "HID");
    const unsigned char unterminated[] = {'a', 'b', 'c'};
    CHECK(WinSys::decodeText(unterminated, sizeof(unterminated)) == "abc");
    const unsigned char list[] = {'H', 'I', 'D', '\\', 'A', 0, 'B', 0, 0, 'C', 0};
    const std::vector<std::string> items = WinSys::decodeList(list, sizeof(list));
    CHECK_EQ(items.size(), size_t(2));
    CHECK(items.size() == 2 && items[0] == "HID\\A" && items[1] == "B");
    const unsigned char cut[] = {'A', 0, 'B', 'C'}; // no final zero within the buffer
    const std::vector<std::string> cutItems = WinSys::decodeList(cut, sizeof(cut));
    CHECK(cutItems.size() == 2 && cutItems[1] == "BC");
    const unsigned char empty[] = {0, 'A', 0};
    CHECK(WinSys::decodeList(empty, sizeof(empty)).empty());
    CHECK_EQ(WinSys::snapshotProperties().size(), size_t(26));
}

// A class nobody registers: {6B1C5D0E-3A0F-4E8B-9B51-7A0D2C3E4F50}.
const WinSys::Guid UnusedInterfaceClass = {
    0x6B1C5D0E, 0x3A0F, 0x4E8B, {0x9B, 0x51, 0x7A, 0x0D, 0x2C, 0x3E, 0x4F, 0x50}};

// Walks the class as the controller does; every interface must be readable.
int walk(WinSys::InterfaceSet& set, std::vector<WinSys::InterfaceInfo>& found) {
    int index = 0;
    for (; set.enumInterface(index); ++index) {
        WinSys::InterfaceInfo info;
        CHECK(set.interfaceDetail(index, info));
        CHECK(info.path.size() > 4 && info.path.compare(0, 4, "\\\\?\\") == 0);
        CHECK_EQ(info.properties.size(), size_t(26));
        bool anyPresent = false;
        for (const WinSys::SetupProperty& property : info.properties) {
            anyPresent = anyPresent || property.present;
            if (!property.present)
                CHECK(property.text.empty() && property.list.empty() && property.number == 0);
        }
        CHECK(anyPresent);
        // The same index again gives the same interface.
        WinSys::InterfaceInfo again;
        CHECK(set.interfaceDetail(index, again) && again.path == info.path &&
              again.instance == info.instance);
        found.push_back(info);
    }
    // The walk ends because the list ended, not on an error.
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return index;
}

void theInterfaceWalk() {
    WinSys::SetupLibrary setup;
    CHECK(setup.LoadSetupApi());
    WinSys::HidLibrary hid;
    CHECK(hid.LoadHid());

    // A class without members: an empty set, not an error.
    auto empty = WinSys::InterfaceSet::open(setup, UnusedInterfaceClass);
    CHECK(empty != nullptr);
    if (empty) {
        CHECK(!empty->enumInterface(0));
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        WinSys::InterfaceInfo info;
        CHECK(!empty->interfaceDetail(0, info));
        CHECK(!empty->enumInterface(-1));
    }

    // The HID class: wine's own virtual input devices, or none at all.
    auto set = WinSys::InterfaceSet::open(setup, HidInterfaceClass);
    CHECK(set != nullptr);
    std::vector<WinSys::InterfaceInfo> found;
    const int count = set ? walk(*set, found) : 0;
    std::printf("  HID interfaces walked: %d\n", count);
    for (size_t i = 0; i < found.size(); ++i) {
        for (size_t j = i + 1; j < found.size(); ++j)
            CHECK(found[i].instance != found[j].instance); // devices are told apart by it
        // What the device object does with each: open, identify, describe.
        WinSys::Handle handle = WinSys::openPath(found[i].path, WinSys::OpenAccess::ReadWrite);
        if (handle == WinSys::invalidHandle())
            handle = WinSys::openPath(found[i].path, WinSys::OpenAccess::None);
        CHECK(handle != WinSys::invalidHandle());
        WinSys::HidAttributes attributes;
        attributes.Size = sizeof(attributes);
        CHECK(hid.HidD_GetAttributes(handle, &attributes));
        void* preparsed = nullptr;
        CHECK(hid.HidD_GetPreparsedData(handle, &preparsed) && preparsed);
        WinSys::HidCapsRecord caps;
        if (preparsed) {
            CHECK_EQ(hid.HidP_GetCaps(preparsed, &caps), WinSys::HidStatusSuccess);
            CHECK(hid.HidD_FreePreparsedData(preparsed));
        }
        unsigned long buffers = 0;
        CHECK(hid.HidD_GetNumInputBuffers(handle, &buffers));
        WinSys::closeHandle(handle);
        // A device that sends nothing: the read stays outstanding until cancelled.
        WinSys::Handle reader = WinSys::openPath(found[i].path, WinSys::OpenAccess::Read);
        uint8_t report[65] = {};
        WinSys::OverlappedRead read;
        if (reader != WinSys::invalidHandle() && read.begin(reader, report, sizeof(report))) {
            if (read.wait(20) == WinSys::OverlappedRead::Wait::TimedOut) {
                CHECK(read.cancel());
                CHECK(!read.outstanding());
            }
        }
        WinSys::closeHandle(reader);
    }

    // Keyboards: another class with members, read the same way.
    auto keyboards = WinSys::InterfaceSet::open(setup, KeyboardInterfaceClass);
    CHECK(keyboards != nullptr);
    std::vector<WinSys::InterfaceInfo> keyboardInfo;
    const int keyboardCount = keyboards ? walk(*keyboards, keyboardInfo) : 0;
    CHECK(keyboardCount >= 1);
    std::printf("  keyboard interfaces walked: %d\n", keyboardCount);
    keyboards.reset();
    set.reset();
    empty.reset();
    setup.UnloadSetupApi();
}

std::string tempPath(const char* name) {
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

void openAndWrite() {
    const std::string path = tempPath("quorvi-write-check.bin");
    DeleteFileA(path.c_str());
    CHECK(WinSys::openPath(path, WinSys::OpenAccess::ReadWrite) == WinSys::invalidHandle()); // existing only
    CHECK_EQ(WinSys::lastError(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    { std::ofstream(path, std::ios::binary).put('\0'); }

    WinSys::Handle handle = WinSys::openPath(path, WinSys::OpenAccess::ReadWrite);
    CHECK(handle != WinSys::invalidHandle());
    uint8_t report[65];
    for (int i = 0; i < 65; ++i)
        report[i] = uint8_t(i * 3);
    uint32_t written = 0;
    CHECK(WinSys::writeReport(handle, report, sizeof(report), written));
    CHECK_EQ(written, 65u);
    WinSys::closeHandle(handle);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CHECK(back.size() == 65 && std::memcmp(back.data(), report, 65) == 0);
    in.close();

    // A query-only handle may not write.
    WinSys::Handle query = WinSys::openPath(path, WinSys::OpenAccess::None);
    CHECK(query != WinSys::invalidHandle());
    CHECK(!WinSys::writeReport(query, report, sizeof(report), written));
    CHECK_EQ(written, 0u);
    WinSys::closeHandle(query);
    DeleteFileA(path.c_str());
}

void overlappedReadFromAFile() {
    const std::string path = tempPath("quorvi-read-check.bin");
    std::vector<char> content(65);
    for (int i = 0; i < 65; ++i)
        content[size_t(i)] = char(0xA0 + i);
    { std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size())); }

    WinSys::OverlappedRead read;
    CHECK(read.valid());
    WinSys::Handle handle = WinSys::openPath(path, WinSys::OpenAccess::Read);
    CHECK(handle != WinSys::invalidHandle());
    uint8_t buffer[65] = {};
    CHECK(read.begin(handle, buffer, sizeof(buffer)));
    // The read works on its own reference: closing ours does not cancel it.
    WinSys::closeHandle(handle);
    WinSys::OverlappedRead::Wait wait = WinSys::OverlappedRead::Wait::TimedOut;
    for (int i = 0; i < 50 && wait == WinSys::OverlappedRead::Wait::TimedOut; ++i)
        wait = read.wait(100);
    CHECK(wait == WinSys::OverlappedRead::Wait::Completed);
    uint32_t bytes = 0;
    CHECK(read.result(bytes));
    CHECK_EQ(bytes, 65u);
    CHECK_EQ(read.completionBytes(), 65u);
    CHECK(std::memcmp(buffer, content.data(), 65) == 0);
    CHECK(!read.outstanding());
    CHECK(!read.cancel()); // nothing outstanding

    // An empty file: the read completes as failed, no bytes.
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    handle = WinSys::openPath(path, WinSys::OpenAccess::Read);
    CHECK(read.begin(handle, buffer, sizeof(buffer)));
    wait = WinSys::OverlappedRead::Wait::TimedOut;
    for (int i = 0; i < 50 && wait == WinSys::OverlappedRead::Wait::TimedOut; ++i)
        wait = read.wait(100);
    CHECK(wait == WinSys::OverlappedRead::Wait::Completed);
    CHECK(!read.result(bytes));
    CHECK_EQ(bytes, 0u);
    CHECK_EQ(WinSys::lastError(), static_cast<unsigned long>(ERROR_HANDLE_EOF));
    WinSys::closeHandle(handle);

    // Starts that cannot be queued report why.
    CHECK(!read.begin(WinSys::invalidHandle(), buffer, sizeof(buffer)));
    CHECK_EQ(WinSys::lastError(), static_cast<unsigned long>(ERROR_INVALID_HANDLE));
    CHECK(!read.begin(nullptr, buffer, sizeof(buffer)));
    handle = WinSys::openPath(path, WinSys::OpenAccess::ReadWrite); // not opened for overlapped I/O
    CHECK(!read.begin(handle, nullptr, 0));
    WinSys::closeHandle(handle);
    DeleteFileA(path.c_str());
}

struct Pipe {
    HANDLE server = INVALID_HANDLE_VALUE;
    WinSys::Handle client = WinSys::invalidHandle();
    explicit Pipe(const char* name) {
        const std::string path = std::string("\\\\.\\pipe\\") + name;
        server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 4096,
                                  4096, 0, nullptr);
        client = WinSys::openPath(path, WinSys::OpenAccess::Read);
    }
    ~Pipe() {
        WinSys::closeHandle(client);
        if (server != INVALID_HANDLE_VALUE)
            CloseHandle(server);
    }
    bool send(const uint8_t* data, DWORD length) {
        DWORD written = 0;
        return WriteFile(server, data, length, &written, nullptr) && written == length;
    }
};

void overlappedReadFromAPipe() {
    Pipe pipe("quorvi-read-check");
    CHECK(pipe.server != INVALID_HANDLE_VALUE);
    CHECK(pipe.client != WinSys::invalidHandle());
    WinSys::OverlappedRead read;
    uint8_t buffer[65] = {};

    // Nothing sent: the slice runs out with the read still outstanding.
    CHECK(read.begin(pipe.client, buffer, sizeof(buffer)));
    CHECK(read.outstanding());
    CHECK(read.wait(30) == WinSys::OverlappedRead::Wait::TimedOut);
    uint32_t bytes = 99;
    CHECK(!read.result(bytes));
    CHECK_EQ(bytes, 0u);
    CHECK_EQ(WinSys::lastError(), static_cast<unsigned long>(ERROR_IO_INCOMPLETE));

    // Another thread ends a long wait at once.
    std::thread waker([&read] {
        Sleep(50);
        read.interrupt();
    });
    const auto started = std::chrono::steady_clock::now();
    const WinSys::OverlappedRead::Wait interrupted = read.wait(20000);
    const auto waited = std::chrono::steady_clock::now() - started;
    waker.join();
    CHECK(interrupted == WinSys::OverlappedRead::Wait::Interrupted);
    CHECK(waited < std::chrono::seconds(10));
    CHECK(read.outstanding());

    // A report arrives: the completion routine ends the wait.
    uint8_t report[65];
    for (int i = 0; i < 65; ++i)
        report[i] = uint8_t(255 - i);
    CHECK(pipe.send(report, sizeof(report)));
    WinSys::OverlappedRead::Wait wait = WinSys::OverlappedRead::Wait::TimedOut;
    for (int i = 0; i < 50 && wait == WinSys::OverlappedRead::Wait::TimedOut; ++i)
        wait = read.wait(100);
    CHECK(wait == WinSys::OverlappedRead::Wait::Completed);
    CHECK(read.result(bytes));
    CHECK_EQ(bytes, 65u);
    CHECK(std::memcmp(buffer, report, 65) == 0);

    // A stop while a read is outstanding: cancelled, and finished on return.
    CHECK(read.begin(pipe.client, buffer, sizeof(buffer)));
    CHECK(read.wait(20) == WinSys::OverlappedRead::Wait::TimedOut);
    CHECK(read.cancel());
    CHECK(!read.outstanding());
    CHECK_EQ(read.completionError(), static_cast<unsigned long>(ERROR_OPERATION_ABORTED));
    CHECK(!read.cancel());

    // The caller's handle closed under an outstanding read (an unplug seen by
    // the main thread): the read still delivers what the device sends.
    CHECK(read.begin(pipe.client, buffer, sizeof(buffer)));
    WinSys::closeHandle(pipe.client);
    pipe.client = WinSys::invalidHandle();
    report[0] = 0x55;
    CHECK(pipe.send(report, sizeof(report)));
    wait = WinSys::OverlappedRead::Wait::TimedOut;
    for (int i = 0; i < 50 && wait == WinSys::OverlappedRead::Wait::TimedOut; ++i)
        wait = read.wait(100);
    CHECK(wait == WinSys::OverlappedRead::Wait::Completed);
    CHECK(read.result(bytes) && bytes == 65 && buffer[0] == 0x55);
    // Reporting the completion let go of the read's own reference as well:
    // the pipe now has no reader left.
    CHECK(!pipe.send(report, sizeof(report)));

    // With nothing outstanding a wait is a pause an interrupt can end.
    read.interrupt();
    CHECK(read.wait(20000) == WinSys::OverlappedRead::Wait::Interrupted);
    CHECK(read.wait(10) == WinSys::OverlappedRead::Wait::TimedOut);
}

void aReadLeftOutstandingIsFinishedBeforeRelease() {
    Pipe pipe("quorvi-release-check");
    std::vector<uint8_t> buffer(65, 0);
    {
        WinSys::OverlappedRead read;
        CHECK(read.begin(pipe.client, buffer.data(), uint32_t(buffer.size())));
        CHECK(read.outstanding());
    } // destroyed on the issuing thread: cancelled and waited for
    {
        auto* read = new WinSys::OverlappedRead;
        std::thread reader([&] { CHECK(read->begin(pipe.client, buffer.data(), uint32_t(buffer.size()))); });
        reader.join();
        delete read; // another thread: cancelled through the record, then released
    }
    // Nothing may land in the buffer after release.
    const uint8_t report[65] = {0x77};
    pipe.send(report, sizeof(report));
    Sleep(50);
    CHECK_EQ(buffer[0], uint8_t(0));
}

void theDeviceChangeWindow(bool display) {
    if (!display) {
        std::printf("  device-change window: skipped, no display to create windows on\n");
        return;
    }
    int changes = 0;
    WinSys::DeviceChangeWindow window([&changes] { ++changes; });
    CHECK(window.created());
    if (!window.created())
        return;
    HWND hwnd = static_cast<HWND>(window.window());
    // Top-level and hidden: message-only windows miss the broadcast.
    CHECK(GetAncestor(hwnd, GA_PARENT) == GetDesktopWindow());
    CHECK(!IsWindowVisible(hwnd));
    CHECK_EQ(SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), LRESULT(TRUE));
    CHECK_EQ(changes, 1);
    SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    SendMessageA(hwnd, WM_DEVICECHANGE, DBT_CONFIGCHANGED, 0);
    CHECK_EQ(changes, 1);
    // What a registration brings: an interface that came or went.
    CHECK(window.registered());
    DEV_BROADCAST_DEVICEINTERFACE_A record{};
    record.dbcc_size = sizeof(record);
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&record));
    SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&record));
    CHECK_EQ(changes, 3);
    record.dbcc_devicetype = DBT_DEVTYP_VOLUME;
    SendMessageA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&record));
    CHECK_EQ(changes, 3);
    DWORD_PTR result = 0;
    CHECK(SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                              5000, &result));
    CHECK_EQ(changes, 4);
    // A second window shares the class.
    int otherChanges = 0;
    WinSys::DeviceChangeWindow other([&otherChanges] { ++otherChanges; });
    CHECK(other.created());
    SendMessageA(static_cast<HWND>(other.window()), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    CHECK_EQ(otherChanges, 1);
    CHECK_EQ(changes, 4);
}

} // namespace

int main(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_folder = self;
    g_folder.erase(g_folder.find_last_of("\\/") + 1);
    const bool display = !(argc > 1 && std::strcmp(argv[1], "--no-display") == 0);

    struct Step {
        const char* name;
        void (*run)();
    };
    const Step steps[] = {
        {"records match the system headers", recordsMatchTheSystemHeaders},
        {"libraries load and resolve every name", librariesLoadAndResolveEveryName},
        {"a missing or incomplete library counts as not loaded",
         aMissingOrIncompleteLibraryCountsAsNotLoaded},
        {"bare names come from the system folder only", bareNamesComeFromTheSystemFolderOnly},
        {"property buffers decode", propertyBuffersDecode},
        {"the interface walk", theInterfaceWalk},
        {"open and write", openAndWrite},
        {"overlapped read from a file", overlappedReadFromAFile},
        {"overlapped read from a pipe", overlappedReadFromAPipe},
        {"a read left outstanding is finished before release", aReadLeftOutstandingIsFinishedBeforeRelease},
    };
    for (const Step& step : steps) {
        const int before = g_failures;
        std::printf("%s\n", step.name);
        step.run();
        if (g_failures != before)
            std::printf("  -> %d failed\n", g_failures - before);
    }
    std::printf("the device-change window\n");
    theDeviceChangeWindow(display);

    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    std::printf("%d checks, %d failed, %lld ms\n", g_checks, g_failures, static_cast<long long>(ms));
    return g_failures == 0 ? 0 : 1;
}
