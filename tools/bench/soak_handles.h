// The process's open handles, by value, with their kind, so that a soak can say which handles
// came and stayed.
#pragma once

#include <windows.h>

#include <map>
#include <string>

// Every open handle of this process and its kind: "Event", "Key", "Thread", ...
std::map<uintptr_t, std::string> g_open_handles();
// The handles of now not in before, as "Event x2, Thread" (empty when none).
std::string g_new_handles(const std::map<uintptr_t, std::string>& before,
                          const std::map<uintptr_t, std::string>& now);
