// The tray icon's menu: the session's devices, each with its id and what became of it.
#pragma once

#include "../platform/owned.h"

#include <windows.h>

#include <cstddef>

// Devices listed one by one; the rest are summed up in a last line.
constexpr size_t k_device_menu_max_devices = 40;

// One line per device, in the order the terminal first reported them, read from the views the
// engine publishes (the window thread never waits for the device list's holder); else one grayed
// line: "No USB devices" or that the session has no USB channel. Empty when no menu can be made.
Owned_menu g_build_device_menu();

// Shows the menu at the screen point until the user dismisses it; a choice does nothing.
void g_show_device_menu(HWND hWnd, POINT at);
