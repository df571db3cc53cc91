#pragma once
// Work that must still happen when the process has to end at once (the X
// server went away under us): finishing a recording so the file plays,
// removing the instance socket. Hooks run on the main thread, newest first.
#include <functional>

namespace nimbo::Emergency {

int add(std::function<void()> hook);
void remove(int handle);
// Runs every hook once; later calls do nothing.
void runAll();

}  // namespace nimbo::Emergency
