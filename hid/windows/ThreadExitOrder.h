#pragma once

namespace WinSys {

// Whether the destructors of thread-local objects run at a thread's end before
// its thread-local storage is freed (see ThreadExitOrder.cpp). Set before the
// program's own initialisers; linked in with the binding.
bool threadExitOrderKept();

// Runs a thread that leaves a thread-local object to be destroyed at its end
// and tells whether that destructor still saw the thread's own storage.
bool threadExitOrderHolds();

} // namespace WinSys
