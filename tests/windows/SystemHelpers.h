#pragma once

// What the binding's tests need of the system beside the binding: a pipe
// to read from and long paths. No <windows.h> here, as in the binding's Qt side.

#include <cstddef>
#include <string>

namespace wintest {

// The server end of a new message pipe \\.\pipe\<name>; nullptr on failure.
void* createPipeServer(const std::string& name);
bool pipeSend(void* server, const void* data, std::size_t length);
void closeServer(void* server);

// Makes a file of a few bytes under a folder chain whose full path is longer
// than MAX_PATH; returns the file's path without the \\?\ prefix, or "".
std::string makeLongPathFile(const std::string& baseFolder);
void removeLongPathFile(const std::string& path, const std::string& baseFolder);

} // namespace wintest
