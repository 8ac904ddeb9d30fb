#pragma once

// The HID library ("HID.dll"), loaded at run time through ModuleLoader with
// the entry points the HID classes call resolved by name, and the kernel's
// file calls the devices use: open, synchronous write, overlapped read.
// Plain C++: no Qt, no <windows.h>.

#include "ModuleLoader.h"
#include "WinTypes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace WinSys {

struct HidAttributes {
    unsigned long Size = 0;
    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint16_t VersionNumber = 0;
};
static_assert(sizeof(HidAttributes) == 12);

// The 64-byte capability record, as 16-bit words in the library's order.
struct HidCapsRecord {
    uint16_t words[32] = {};
};
static_assert(sizeof(HidCapsRecord) == 64);

#define QUORVI_HID_ENTRY_POINTS(X)                                                                           \
    X(void, HidD_GetHidGuid, (Guid*))                                                                        \
    X(unsigned char, HidD_GetAttributes, (void*, HidAttributes*))                                            \
    X(unsigned char, HidD_GetPreparsedData, (void*, void**))                                                 \
    X(unsigned char, HidD_FreePreparsedData, (void*))                                                        \
    X(unsigned char, HidD_GetNumInputBuffers, (void*, unsigned long*))                                       \
    X(unsigned char, HidD_SetNumInputBuffers, (void*, unsigned long))                                        \
    X(unsigned char, HidD_GetSerialNumberString, (void*, void*, unsigned long))                              \
    X(long, HidP_GetCaps, (void*, HidCapsRecord*))

class HidLibrary {
public:
    explicit HidLibrary(std::string fileName = "HID.dll");
    ~HidLibrary();
    HidLibrary(const HidLibrary&) = delete;
    HidLibrary& operator=(const HidLibrary&) = delete;

    // Loads and resolves; any missing name unloads again and fails.
    bool LoadHid();
    void UnloadHid();
    bool IsHidLoaded() const { return m_module != nullptr; }

#define QUORVI_HID_TYPEDEF(ret, name, args) using name##_t = ret(QUORVI_WINAPI*) args;
    QUORVI_HID_ENTRY_POINTS(QUORVI_HID_TYPEDEF)
#undef QUORVI_HID_TYPEDEF
#define QUORVI_HID_MEMBER(ret, name, args) name##_t name = nullptr;
    QUORVI_HID_ENTRY_POINTS(QUORVI_HID_MEMBER)
#undef QUORVI_HID_MEMBER

private:
    void clearTable();

    std::string m_fileName;
    TModuleHandle m_module = nullptr;
};

constexpr long HidStatusSuccess = 0x00110000;

enum class OpenAccess {
    ReadWrite, // synchronous, for writes and queries
    None,      // synchronous, query only
    Read,      // overlapped, the read thread's handle
};

// CreateFileA with shared read and write, existing devices only.
Handle openPath(const std::string& path, OpenAccess access);
void closeHandle(Handle handle);
// One synchronous write; true only when every byte went out.
bool writeReport(Handle handle, const uint8_t* buffer, uint32_t length, uint32_t& written);

// One overlapped read at a time with a completion routine, waited for in
// alertable slices on the thread that started it. The read works on its own
// duplicate of the handle, so closing the caller's handle meanwhile does not
// cancel it; the buffer must stay valid until the read completed or cancel()
// returned.
class OverlappedRead {
public:
    enum class Wait { TimedOut, Completed, Interrupted };

    OverlappedRead();
    ~OverlappedRead();
    OverlappedRead(const OverlappedRead&) = delete;
    OverlappedRead& operator=(const OverlappedRead&) = delete;

    bool valid() const; // false when no wake-up event could be made

    // ReadFileEx; false (with the last error set) when it was not queued.
    bool begin(Handle handle, uint8_t* buffer, uint32_t length);
    // One alertable wait of up to ms: Completed (once per read) when the
    // completion routine ran; Interrupted by interrupt(); TimedOut. With no
    // read outstanding it is a pause that interrupt() can end.
    Wait wait(int ms);
    // Ends the current or next wait early. Any thread.
    void interrupt();
    // The finished read's byte count, as GetOverlappedResult (not waiting)
    // gave it when a wait reported the completion; the read's duplicate handle
    // is closed by then. False (last error set) when the read failed or no
    // wait has reported it.
    bool result(uint32_t& bytes);
    // CancelIo and wait until the read has finished; false when none was
    // outstanding.
    bool cancel();
    // Asks the system to end the outstanding read (CancelIoEx), without
    // waiting: its routine then runs in the issuing thread's next wait. Any
    // thread; false when no read was outstanding.
    bool abort();
    // The handle the outstanding read was started on (not its duplicate).
    Handle source() const;
    bool outstanding() const;
    // What the completion routine was told, for checks.
    unsigned long completionError() const;
    uint32_t completionBytes() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace WinSys
