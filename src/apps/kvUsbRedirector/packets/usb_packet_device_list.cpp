#include "usb_packet_device_list.h"

#include "../platform/guarded_copy.h"
#include "../debug/usb_debug.h"
#include "../portable/frame.h"
#include "device_policy.h"
#include "mdl_urb_list.h"
#include "usb_device_list.h"
#include "usb_packet_close.h"
#include "usb_packet_open.h"

#include <cstdlib>
#include <new>

namespace
{

uint32_t device_id_of(const Usb_device_entry& entry)
{
    return kv::record_device_id(g_record_bytes(entry.record.get()));
}

size_t record_size_of(const Usb_device_entry& entry)
{
    return kv::record_length(g_record_bytes(entry.record.get()));
}

Usb_device_entry* find_entry(uint32_t device_id)
{
    for (Usb_device_entry& entry : g_device_list)
        if (device_id_of(entry) == device_id)
            return &entry;
    return nullptr;
}

bool send_open_request(uint32_t device_id)
{
    BYTE request[9];
    kv::build_short_message(request, sizeof request, kv::code_open, &device_id);
    Usb_packet_open packet(request, false);
    return packet.process_param();
}

} // namespace

void g_unplug_device(uint32_t device_id)
{
    if (const Usb_device_entry* entry = find_entry(device_id))
        g_audit_device(k_event_id_device_removed, entry->record.get());
    BYTE close[9];
    kv::build_short_message(close, sizeof close, kv::code_close, &device_id);
    Usb_packet_close packet(close, false);
    packet.process_param();
}

namespace
{

// Appends a pending entry with its own copy of the record; false stops the reconciliation.
bool append_entry(const BYTE* record, size_t size)
{
    Owned_block<Usb_device_record> copy(static_cast<Usb_device_record*>(std::malloc(size)));
    if (!copy)
    {
        g_log(2,
              L"Usb_packet_device_list::process_return() - record allocation failed - "
              L"length:%d",
              static_cast<int>(size));
        return false;
    }
    int error = 0;
    Copy_status copied = g_guarded_copy(copy.get(), size, record, size, &error);
    if (copied != Copy_status::ok)
    {
        if (copied == Copy_status::failed)
            g_log(2, L"Usb_packet_device_list::process_return (memcpy_s failed - error:%d)", error);
        else
            g_log(2,
                  L"Usb_packet_device_list::process_return (memcpy_s threw an exception - "
                  L"error:%d)",
                  GetLastError());
        return false;
    }
    try
    {
        g_device_list.push_back({Usb_device_state::pending, std::move(copy), 1});
    }
    catch (const std::bad_alloc&)
    {
        g_log(2, L"Usb_packet_device_list::process_return() - entry allocation failed");
        return false;
    }
    return true;
}

// Notes the listed devices and appends the new ones; false when a new one could not be kept.
bool read_records(const BYTE* frame)
{
    // The buffer of a frame holds its length field plus four bytes.
    const size_t frame_size = frame ? kv::frame_total_size(kv::load_u32(frame)) : 0;
    kv::Record_walk walk;
    kv::Record_view view;
    kv::begin_record_walk(frame, frame_size, &walk);
    while (kv::next_record(frame, frame_size, &walk, &view))
    {
        if (view.check != kv::Record_check::ok)
        {
            // The walk ends at a record it cannot step over and goes on after a record that
            // is whole but whose strings do not fit it.
            g_log(3,
                  walk.done ? L"Usb_packet_device_list::process_return() - Malformed record ends "
                              L"the list - offset:%d, length:%d."
                            : L"Usb_packet_device_list::process_return() - Malformed record "
                              L"skipped - offset:%d, length:%d.",
                  static_cast<int>(view.frame_offset), static_cast<int>(view.length));
            continue;
        }
        const BYTE* record = frame + view.frame_offset;
        const uint32_t device_id = kv::record_device_id(record);
        if (Usb_device_entry* known = find_entry(device_id))
        {
            g_log(4, L"Usb_packet_device_list::process_return() - Device found id:%d.", device_id);
            known->seen = 1;
        }
        else if (!append_entry(record, view.length))
            return false;
    }
    return true;
}

// Marks every entry that has a twin; a plugged-in one is unplugged first.
void mark_twins()
{
    for (Usb_device_entry& a : g_device_list)
        for (const Usb_device_entry& b : g_device_list)
        {
            if (!kv::records_are_twins(g_record_bytes(a.record.get()), record_size_of(a),
                                       g_record_bytes(b.record.get()), record_size_of(b)))
                continue;
            if (a.state == Usb_device_state::opened)
                g_unplug_device(device_id_of(a));
            a.state = Usb_device_state::marked;
            break;
        }
}

} // namespace

void g_erase_marked_devices()
{
    for (auto it = g_device_list.begin(); it != g_device_list.end();)
    {
        if (it->state != Usb_device_state::marked)
        {
            ++it;
            continue;
        }
        // Its transfers were let go at the unplug (or it was never plugged in): a later
        // reply must not write into their buffers, nor match a new transfer's handle.
        g_discard_mdl_urb_records_of(device_id_of(*it));
        it = g_device_list.erase(it);
    }
}

namespace
{

void step_states()
{
    for (Usb_device_entry& entry : g_device_list)
    {
        const uint32_t id = device_id_of(entry);
        switch (entry.state)
        {
        case Usb_device_state::pending:
            g_log(4, L"Usb_packet_device_list::process_return() - Device pending id:%d.", id);
            // A device the policy refuses gets no open request and is never plugged in.
            if (g_refuse_by_policy(entry))
                break;
            if (send_open_request(id))
            {
                entry.state = Usb_device_state::pending_return;
                g_log(4,
                      L"Usb_packet_device_list::process_return() - Device pending sent success "
                      L"id:%d.",
                      id);
            }
            else
            {
                entry.state = Usb_device_state::failed;
                g_log(4,
                      L"Usb_packet_device_list::process_return() - Device pending sent failed "
                      L"id:%d.",
                      id);
            }
            break;
        case Usb_device_state::pending_return:
            g_log(4, L"Usb_packet_device_list::process_return() - Device pending return id:%d.",
                  id);
            if (!entry.seen)
                entry.state = Usb_device_state::marked;
            break;
        case Usb_device_state::opened:
            g_log(4, L"Usb_packet_device_list::process_return() - Device opened id:%d found:%d.",
                  id, entry.seen ? 1 : 0);
            if (!entry.seen)
            {
                g_log(4, L"Usb_packet_device_list::process_return() - Device opened erasing id:%d.",
                      id);
                g_unplug_device(id);
                entry.state = Usb_device_state::marked;
            }
            break;
        case Usb_device_state::failed:
            g_log(4, L"Usb_packet_device_list::process_return() - Device failed id:%d found:%d.",
                  id, entry.seen ? 1 : 0);
            if (!entry.seen)
            {
                g_log(4, L"Usb_packet_device_list::process_return() - Device failed erasing id:%d.",
                      id);
                entry.state = Usb_device_state::marked;
            }
            break;
        case Usb_device_state::marked:
            break;
        }
    }
}

} // namespace

void Usb_packet_device_list::process_return()
{
    const Device_list_change hold;
    for (Usb_device_entry& entry : g_device_list)
        entry.seen = 0;
    if (read_records(m_pPacket))
    {
        mark_twins();
        g_erase_marked_devices();
        g_log(4, L"Usb_packet_device_list::process_return() - Processing marked list.");
        step_states();
        g_erase_marked_devices();
    }
}
