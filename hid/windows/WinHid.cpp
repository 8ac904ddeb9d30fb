#include "WinHid.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>

namespace WinSys {

HidLibrary::HidLibrary(std::string fileName) : m_fileName(std::move(fileName)) {}

HidLibrary::~HidLibrary() {
    ModuleLoader::UnloadModule(m_module);
}

bool HidLibrary::LoadHid() {
    bool found = ModuleLoader::LoadModule(m_module, m_fileName.c_str());
#define QUORVI_HID_RESOLVE(ret, name, args)                                                                  \
    name = reinterpret_cast<name##_t>(ModuleLoader::GetModuleSymbolEx(m_module, #name, found));
    QUORVI_HID_ENTRY_POINTS(QUORVI_HID_RESOLVE)
#undef QUORVI_HID_RESOLVE
    if (!found) {
        UnloadHid();
        return false;
    }
    return true;
}

void HidLibrary::UnloadHid() {
    ModuleLoader::UnloadModule(m_module);
    clearTable();
}

void HidLibrary::clearTable() {
#define QUORVI_HID_CLEAR(ret, name, args) name = nullptr;
    QUORVI_HID_ENTRY_POINTS(QUORVI_HID_CLEAR)
#undef QUORVI_HID_CLEAR
}

Handle openPath(const std::string& path, OpenAccess access) {
    DWORD rights = 0;
    DWORD flags = 0;
    switch (access) {
    case OpenAccess::ReadWrite:
        rights = GENERIC_READ | GENERIC_WRITE;
        break;
    case OpenAccess::None:
        break;
    case OpenAccess::Read:
        rights = GENERIC_READ;
        flags = FILE_FLAG_OVERLAPPED;
        break;
    }
    // The wide call: the ANSI one stops at MAX_PATH even for \\?\ paths.
    std::wstring wide(path.size() + 1, L'\0');
    const int length =
        MultiByteToWideChar(CP_ACP, 0, path.data(), int(path.size()), wide.data(), int(wide.size()));
    if (length <= 0 && !path.empty())
        return INVALID_HANDLE_VALUE;
    wide.resize(size_t(length));
    if (wide.size() >= MAX_PATH && wide.rfind(L"\\\\", 0) != 0)
        wide.insert(0, L"\\\\?\\");
    return CreateFileW(wide.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

void closeHandle(Handle handle) {
    if (handle && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

bool writeReport(Handle handle, const uint8_t* buffer, uint32_t length, uint32_t& written) {
    DWORD count = 0;
    const BOOL ok = WriteFile(handle, buffer, length, &count, nullptr);
    written = count;
    if (ok && count != length) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return ok != FALSE;
}

// The OVERLAPPED comes first, so the completion routine finds the state from
// the record it is given (hEvent stays null: GetOverlappedResult may use it).
struct OverlappedRead::State {
    OVERLAPPED overlapped{};
    HANDLE file = INVALID_HANDLE_VALUE; // our duplicate
    HANDLE wake = nullptr;              // auto-reset: one interrupt ends one wait
    DWORD issuer = 0;                   // the thread whose waits run the routine
    bool outstanding = false;
    bool done = false;
    bool reported = false; // a wait has returned Completed for this read
    bool resultOk = false; // what GetOverlappedResult said once it finished
    DWORD resultBytes = 0;
    DWORD resultError = ERROR_IO_INCOMPLETE;
    DWORD error = 0;
    DWORD bytes = 0;
    // Guards the duplicate against abort() from another thread; the record's
    // other fields belong to the issuing thread.
    std::mutex fileMutex;
    std::atomic<HANDLE> source{INVALID_HANDLE_VALUE};

    static void CALLBACK completed(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
        auto* state = reinterpret_cast<State*>(overlapped);
        state->error = error;
        state->bytes = bytes;
        state->done = true;
        state->outstanding = false;
    }

    void closeFile() {
        std::lock_guard lock(fileMutex);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        source = INVALID_HANDLE_VALUE;
    }

    static BOOL cancelEx(HANDLE handle, OVERLAPPED* record) {
        using CancelIoExFn = BOOL(WINAPI*)(HANDLE, OVERLAPPED*);
        static const auto function = reinterpret_cast<CancelIoExFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
        return function ? function(handle, record) : FALSE;
    }

    // Waits until the kernel no longer owns the record. Only for a read left
    // behind by another thread: its routine can no longer run on ours.
    void abandon() {
        cancelEx(file, &overlapped);
        for (int i = 0; i < 5000 && !HasOverlappedIoCompleted(&overlapped); ++i)
            Sleep(1);
        outstanding = false;
    }
};

OverlappedRead::OverlappedRead() : d(std::make_unique<State>()) {
    static_assert(std::is_standard_layout_v<State>, "the routine casts the record back to the state");
    d->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

OverlappedRead::~OverlappedRead() {
    if (d->outstanding && !cancel())
        d->abandon();
    d->closeFile();
    if (d->wake)
        CloseHandle(d->wake);
}

bool OverlappedRead::valid() const {
    return d->wake != nullptr;
}

bool OverlappedRead::begin(Handle handle, uint8_t* buffer, uint32_t length) {
    if (d->outstanding) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    d->closeFile();
    if (!buffer || length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(process, handle, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    {
        std::lock_guard lock(d->fileMutex);
        d->file = duplicate;
    }
    d->overlapped = OVERLAPPED{};
    d->done = false;
    d->reported = false;
    d->resultOk = false;
    d->resultBytes = 0;
    d->resultError = ERROR_IO_INCOMPLETE;
    d->error = 0;
    d->bytes = 0;
    d->issuer = GetCurrentThreadId();
    if (!ReadFileEx(d->file, buffer, length, &d->overlapped, &State::completed)) {
        const DWORD error = GetLastError();
        d->closeFile();
        SetLastError(error);
        return false;
    }
    d->outstanding = true;
    d->source = handle;
    return true;
}

OverlappedRead::Wait OverlappedRead::wait(int ms) {
    const DWORD result = WaitForSingleObjectEx(d->wake, DWORD(ms < 0 ? 0 : ms), TRUE);
    // The routine may have run in this wait even when the event ended it.
    if (d->done && !d->reported) {
        d->reported = true;
        // Take the result now and let go of the file: a device that went
        // away should not be kept open until the next read.
        d->resultOk = GetOverlappedResult(d->file, &d->overlapped, &d->resultBytes, FALSE) != FALSE;
        d->resultError = d->resultOk ? 0 : GetLastError();
        d->closeFile();
        return Wait::Completed;
    }
    return result == WAIT_OBJECT_0 ? Wait::Interrupted : Wait::TimedOut;
}

void OverlappedRead::interrupt() {
    if (d->wake)
        SetEvent(d->wake);
}

bool OverlappedRead::result(uint32_t& bytes) {
    bytes = 0;
    if (!d->reported || !d->resultOk) {
        SetLastError(d->resultError);
        return false;
    }
    bytes = d->resultBytes;
    return true;
}

bool OverlappedRead::cancel() {
    if (!d->outstanding) {
        d->closeFile();
        return false;
    }
    if (d->issuer != GetCurrentThreadId())
        return false;
    CancelIo(d->file);
    // The routine runs even for a cancelled read; only then may the buffer go.
    while (!d->done)
        SleepEx(INFINITE, TRUE);
    d->closeFile();
    return true;
}

bool OverlappedRead::abort() {
    std::lock_guard lock(d->fileMutex);
    if (d->file == INVALID_HANDLE_VALUE)
        return false;
    return State::cancelEx(d->file, &d->overlapped) != FALSE;
}

Handle OverlappedRead::source() const {
    return d->source.load();
}

bool OverlappedRead::outstanding() const {
    return d->outstanding;
}

unsigned long OverlappedRead::completionError() const {
    return d->error;
}

uint32_t OverlappedRead::completionBytes() const {
    return d->bytes;
}

} // namespace WinSys
