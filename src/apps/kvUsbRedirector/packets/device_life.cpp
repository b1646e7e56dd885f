#include "device_life.h"

#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../platform/guarded_copy.h"
#include "../portable/frame.h"
#include "device_policy.h"
#include "mdl_urb_list.h"
#include "usb_packet_close.h"
#include "usb_packet_open.h"

#include <cstdlib>
#include <new>

namespace
{

// Made at the first use and never closed: a share dialog's thread may still plug in while the
// process exits.
HANDLE plug_in_abort_event()
{
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

HANDLE unplug_abort_event()
{
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Question tickets, unique for the process's life: an answer from an earlier run or to an
// erased entry never matches. Under the list's lock.
uint64_t g_last_ticket = 0;

void set_state(Usb_device_entry& entry, Usb_device_state state)
{
    entry.state = state;
    if (state != Usb_device_state::failed)
        entry.blocked = false;
}

bool send_open_request(uint32_t device_id)
{
    BYTE request[9];
    kv::build_short_message(request, sizeof request, kv::code_open, &device_id);
    Usb_packet_open packet(request, false);
    return packet.process_param();
}

// The policy may have changed since the open request went out: refused, the entry is blocked.
bool refused_by_policy(Usb_device_entry& entry) REQUIRES(g_device_list_mutex)
{
    const std::wstring reason = g_policy_refusal(entry.record.get());
    if (!reason.empty())
        g_device_block(entry, reason.c_str());
    return !reason.empty();
}

void plug_in(Usb_device_entry& entry) REQUIRES(g_device_list_mutex)
{
    entry.ticket = 0;
    if (refused_by_policy(entry))
        return;
    set_state(entry, Usb_device_state::opened);
    g_publish_device_views(); // before the port driver's wait, which only the stop ends
    // The record copy the plug-in reads and writes stays put: the list is held throughout.
    Usb_device_record* record = entry.record.get();
    BYTE* bytes = g_record_bytes(record);
    DWORD returned = 0;
    const bool plugged =
        g_call_port_driver(IOCTL_PORT_PLUG_IN, bytes + 2, kv::record_length(bytes) - 2u, &returned,
                           plug_in_abort_event());
    g_audit_device(plugged ? k_event_id_device_shared : k_event_id_device_refused, record);
    if (plugged)
        g_log(4, L"Usb_packet_open::process_return() - Plugged in device: %d\n",
              kv::record_device_id(bytes));
    else
    {
        set_state(entry, Usb_device_state::failed);
        g_log(3, L"Usb_packet_open::process_return() - Start terminal server session failed");
    }
}

} // namespace

Usb_device_entry* g_device_add(const BYTE* record, size_t size)
{
    Owned_block<Usb_device_record> copy(static_cast<Usb_device_record*>(std::malloc(size)));
    if (!copy)
    {
        g_log(2,
              L"Usb_packet_device_list::process_return() - record allocation failed - "
              L"length:%d",
              static_cast<int>(size));
        return nullptr;
    }
    int error = 0;
    const Copy_status copied = g_guarded_copy(copy.get(), size, record, size, &error);
    if (copied != Copy_status::ok)
    {
        if (copied == Copy_status::failed)
            g_log(2, L"Usb_packet_device_list::process_return (memcpy_s failed - error:%d)", error);
        else
            g_log(2,
                  L"Usb_packet_device_list::process_return (memcpy_s threw an exception - "
                  L"error:%d)",
                  GetLastError());
        return nullptr;
    }
    try
    {
        g_device_list.push_back({Usb_device_state::pending, std::move(copy), 1});
        return &g_device_list.back();
    }
    catch (const std::bad_alloc&)
    {
        g_log(2, L"Usb_packet_device_list::process_return() - entry allocation failed");
        return nullptr;
    }
}

void g_device_request_open(Usb_device_entry& entry)
{
    if (entry.state != Usb_device_state::pending || refused_by_policy(entry))
        return;
    const uint32_t id = g_device_id_of(entry);
    if (send_open_request(id))
    {
        set_state(entry, Usb_device_state::pending_return);
        g_log(4, L"Usb_packet_device_list::process_return() - Device pending sent success id:%d.",
              id);
    }
    else
    {
        set_state(entry, Usb_device_state::failed);
        g_log(4, L"Usb_packet_device_list::process_return() - Device pending sent failed id:%d.",
              id);
    }
}

bool g_device_fail(Usb_device_entry& entry)
{
    if (entry.state != Usb_device_state::pending && entry.state != Usb_device_state::pending_return)
        return false;
    set_state(entry, Usb_device_state::failed);
    entry.answer = Share_answer::not_asked;
    entry.ticket = 0;
    return true;
}

void g_device_block(Usb_device_entry& entry, const wchar_t* reason)
{
    if (entry.state == Usb_device_state::marked)
        return;
    g_device_unplug(entry);
    set_state(entry, Usb_device_state::failed);
    entry.blocked = true;
    entry.answer = Share_answer::not_asked;
    entry.ticket = 0;
    g_log(4, L"Device_policy::g_refuse_by_policy() - device %d refused: %s", g_device_id_of(entry),
          reason);
    g_audit_device(k_event_id_device_blocked, entry.record.get(), reason);
}

void g_device_unplug(Usb_device_entry& entry)
{
    if (entry.state != Usb_device_state::opened)
        return;
    const uint32_t id = g_device_id_of(entry);
    g_audit_device(k_event_id_device_removed, entry.record.get());
    BYTE close[9];
    kv::build_short_message(close, sizeof close, kv::code_close, &id);
    Usb_packet_close packet(close, false);
    packet.process_param(unplug_abort_event());
    // Its transfers were let go at the unplug: a later reply must not write into their buffers,
    // nor match a new transfer's handle.
    g_discard_mdl_urb_records_of(id);
    set_state(entry, Usb_device_state::failed);
}

void g_device_mark(Usb_device_entry& entry)
{
    g_device_unplug(entry);
    set_state(entry, Usb_device_state::marked);
}

void g_device_erase_marked()
{
    // Never plugged in, or unplugged when marked, which dropped their MDL records.
    std::erase_if(g_device_list, [](const Usb_device_entry& entry)
                  { return entry.state == Usb_device_state::marked; });
}

bool g_device_open_failed(uint32_t device_id)
{
    const Device_list_change hold;
    Usb_device_entry* entry = g_find_device_entry(device_id);
    return entry && g_device_fail(*entry);
}

uint64_t g_device_ask(uint32_t device_id)
{
    const Device_list_change hold;
    Usb_device_entry* entry = g_find_device_entry(device_id);
    if (!entry || entry->state != Usb_device_state::pending_return || entry->ticket != 0)
        return 0;
    entry->answer = Share_answer::awaited;
    entry->ticket = ++g_last_ticket;
    return entry->ticket;
}

bool g_device_awaits(uint32_t device_id, uint64_t ticket)
{
    const Device_list_hold hold;
    const Usb_device_entry* entry = g_find_device_entry(device_id);
    return entry && ticket != 0 && entry->ticket == ticket;
}

void g_device_answer(uint32_t device_id, uint64_t ticket, Share_reply reply)
{
    const Device_list_change hold;
    Usb_device_entry* entry = g_find_device_entry(device_id);
    // The ticket is cleared by every change that leaves pending_return.
    if (!entry || ticket == 0 || entry->ticket != ticket)
    {
        g_log(4,
              L"Device_life::g_device_answer() - answer %d for device %d ignored: its question "
              L"is no longer open",
              static_cast<int>(reply), device_id);
        return;
    }
    switch (reply)
    {
    case Share_reply::yes:
        plug_in(*entry);
        break;
    case Share_reply::no:
        g_audit_device(k_event_id_device_declined, entry->record.get());
        [[fallthrough]];
    case Share_reply::timer:
        entry->answer = Share_answer::declined;
        entry->ticket = 0;
        break;
    case Share_reply::cannot_show:
        g_device_fail(*entry);
        break;
    }
}

bool g_plug_in_device(uint32_t device_id)
{
    const Device_list_change hold;
    Usb_device_entry* entry = g_find_device_entry(device_id);
    if (!entry)
        return false;
    // Plugged in once only; a device whose question is out waits for its answer.
    if (entry->state == Usb_device_state::pending_return && entry->ticket == 0)
        plug_in(*entry);
    else
        g_log(4, L"Device_life::g_plug_in_device() - device %d not plugged in: state %d", device_id,
              static_cast<int>(entry->state));
    return true;
}

bool g_is_device_plugged_in(uint32_t device_id)
{
    const Usb_device_entry* entry = g_find_device_entry(device_id);
    return entry && entry->state == Usb_device_state::opened;
}

void g_device_calls_resume()
{
    ResetEvent(plug_in_abort_event());
    ResetEvent(unplug_abort_event());
}

void g_device_calls_stop_plug_ins()
{
    SetEvent(plug_in_abort_event());
}

void g_device_calls_give_up()
{
    SetEvent(unplug_abort_event());
}
