#include "SystemHelpers.h"

#include <windows.h>

#include <vector>

namespace wintest {

void* createPipeServer(const std::string& name) {
    const std::string path = "\\\\.\\pipe\\" + name;
    HANDLE server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1,
                                     4096, 4096, 0, nullptr);
    return server == INVALID_HANDLE_VALUE ? nullptr : server;
}

bool pipeSend(void* server, const void* data, std::size_t length) {
    DWORD written = 0;
    return WriteFile(server, data, DWORD(length), &written, nullptr) && written == length;
}

void closeServer(void* server) {
    if (server)
        CloseHandle(server);
}

namespace {

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::vector<std::string> longChain(const std::string& base) {
    std::vector<std::string> folders;
    std::string path = base;
    while (path.size() < 300) {
        path += "\\quorvi-long-path-segment-0123456789";
        folders.push_back(path);
    }
    return folders;
}

} // namespace

std::string makeLongPathFile(const std::string& baseFolder) {
    for (const std::string& folder : longChain(baseFolder)) {
        const std::wstring wide = L"\\\\?\\" + widen(folder);
        if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return {};
    }
    const std::string file = longChain(baseFolder).back() + "\\report.bin";
    const std::wstring wide = L"\\\\?\\" + widen(file);
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    DWORD written = 0;
    const char bytes[4] = {0, 0x55, 1, 2};
    WriteFile(handle, bytes, sizeof(bytes), &written, nullptr);
    CloseHandle(handle);
    return file;
}

void removeLongPathFile(const std::string& path, const std::string& baseFolder) {
    DeleteFileW((L"\\\\?\\" + widen(path)).c_str());
    std::vector<std::string> folders = longChain(baseFolder);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        RemoveDirectoryW((L"\\\\?\\" + widen(*it)).c_str());
}

} // namespace wintest
