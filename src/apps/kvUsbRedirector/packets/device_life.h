// A device's life in g_device_list. Every change of an entry's state is one of these functions:
// each checks the state it starts from and does all of its steps. Those taking an entry are
// called within a Device_list_change, which publishes the views at its end; those taking a
// device id take the list themselves.
#pragma once

#include "usb_device_list.h"

#include <windows.h>

#include <cstdint>

// Appends a pending entry with its own copy of the record, seen; nullptr (logged) when it cannot.
Usb_device_entry* g_device_add(const BYTE* record, size_t size) REQUIRES(g_device_list_mutex);
// pending: refused by the policy (blocked), else the open request sent (pending_return) or not
// (failed).
void g_device_request_open(Usb_device_entry& entry) REQUIRES(g_device_list_mutex);
// pending or pending_return: failed, any question withdrawn. An opened entry stays plugged in:
// false.
bool g_device_fail(Usb_device_entry& entry) REQUIRES(g_device_list_mutex);
// Refused by the administrator's policy: unplugged first when plugged in, then failed and
// blocked, with event 21.
void g_device_block(Usb_device_entry& entry, const wchar_t* reason) REQUIRES(g_device_list_mutex);
// opened: event 20, the port driver's unplug, the device's MDL records dropped; the entry is then
// failed and counts as plugged in no more, for requests and replies alike.
void g_device_unplug(Usb_device_entry& entry) REQUIRES(g_device_list_mutex);
// Unplugged when plugged in, then marked: g_device_erase_marked erases it.
void g_device_mark(Usb_device_entry& entry) REQUIRES(g_device_list_mutex);
void g_device_erase_marked() REQUIRES(g_device_list_mutex);

// The open reply's nonzero status: failed unless it has been plugged in meanwhile (a repeated
// reply). False when no entry has the id or it was left as it is.
bool g_device_open_failed(uint32_t device_id) EXCLUDES(g_device_list_mutex);
// pending_return, no question out: a new ticket (never 0), the answer awaited. 0 when no entry
// has the id or it awaits no answer.
uint64_t g_device_ask(uint32_t device_id) EXCLUDES(g_device_list_mutex);
enum class Share_reply
{
    yes,
    no,         // the second button, Escape or the close box: event 18, declined
    timer,      // the question lapsed: declined, no event
    cannot_show // failed, not retried while listed
};
// Acts only on the entry that the ticket's question was about, while it still awaits it; any
// other answer (an earlier run's dialog, an entry erased and listed again) changes nothing.
void g_device_answer(uint32_t device_id, uint64_t ticket, Share_reply reply)
    EXCLUDES(g_device_list_mutex);
bool g_device_awaits(uint32_t device_id, uint64_t ticket) EXCLUDES(g_device_list_mutex);
// pending_return with no question out: the policy checked again, opened, the views published
// before the port driver's wait, then event 17, or failed and event 19. False when no entry has
// the id.
bool g_plug_in_device(uint32_t device_id) EXCLUDES(g_device_list_mutex);

// A request or a reply of the device may reach the port driver: it is plugged in.
bool g_is_device_plugged_in(uint32_t device_id) REQUIRES(g_device_list_mutex);

// The engine's stop ends the port driver calls of the device list: a plug-in at once (it and
// those that follow are cancelled), an unplug once the stop's budget is spent. A start resumes
// both.
void g_device_calls_resume();
void g_device_calls_stop_plug_ins();
void g_device_calls_give_up();
