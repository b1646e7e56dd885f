// The share dialog: asks the user whether a device may be shared with all connected users.
#pragma once

#include <windows.h>

#include <cstdint>

// A question: the device and its ticket (g_device_ask).
struct Share_question
{
    uint32_t device_id;
    uint64_t ticket;
};
// Thread routine; context is a heap Share_question, released here.
DWORD WINAPI g_start_warning_popup(LPVOID context);
INT_PTR CALLBACK WarningPopupDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// Period of the timer that ends the dialog once its device has left the list.
constexpr UINT k_warning_popup_timer_ms = 3000;

// The open handler's question, installed by the entry: starts the dialog's thread, the entry
// left pending_return (failed when the dialog cannot be shown).
void g_ask_to_share(uint32_t device_id, uint64_t ticket);
