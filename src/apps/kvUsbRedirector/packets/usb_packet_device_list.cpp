#include "usb_packet_device_list.h"

#include "../debug/usb_debug.h"
#include "../portable/frame.h"
#include "device_life.h"

namespace
{

size_t record_size_of(const Usb_device_entry& entry)
{
    return kv::record_length(g_record_bytes(entry.record.get()));
}

// Notes the listed devices and appends the new ones; false when a new one could not be kept.
bool read_records(const BYTE* frame) REQUIRES(g_device_list_mutex)
{
    if (!frame)
        return true;
    // The buffer of a frame holds its length field plus four bytes.
    const size_t frame_size = kv::frame_total_size(kv::load_u32(frame));
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
        if (Usb_device_entry* known = g_find_device_entry(device_id))
        {
            g_log(4, L"Usb_packet_device_list::process_return() - Device found id:%d.", device_id);
            known->seen = 1;
        }
        else if (!g_device_add(record, view.length))
            return false;
    }
    return true;
}

// Marks every entry that has a twin; a plugged-in one is unplugged first.
void mark_twins() REQUIRES(g_device_list_mutex)
{
    for (Usb_device_entry& a : g_device_list)
        for (const Usb_device_entry& b : g_device_list)
        {
            if (!kv::records_are_twins(g_record_bytes(a.record.get()), record_size_of(a),
                                       g_record_bytes(b.record.get()), record_size_of(b)))
                continue;
            g_device_mark(a);
            break;
        }
}

void step_states() REQUIRES(g_device_list_mutex)
{
    for (Usb_device_entry& entry : g_device_list)
    {
        const uint32_t id = g_device_id_of(entry);
        switch (entry.state)
        {
        case Usb_device_state::pending:
            g_log(4, L"Usb_packet_device_list::process_return() - Device pending id:%d.", id);
            g_device_request_open(entry);
            break;
        case Usb_device_state::pending_return:
            g_log(4, L"Usb_packet_device_list::process_return() - Device pending return id:%d.",
                  id);
            if (!entry.seen)
                g_device_mark(entry);
            break;
        case Usb_device_state::opened:
            g_log(4, L"Usb_packet_device_list::process_return() - Device opened id:%d found:%d.",
                  id, entry.seen ? 1 : 0);
            if (!entry.seen)
            {
                g_log(4, L"Usb_packet_device_list::process_return() - Device opened erasing id:%d.",
                      id);
                g_device_mark(entry);
            }
            break;
        case Usb_device_state::failed:
            g_log(4, L"Usb_packet_device_list::process_return() - Device failed id:%d found:%d.",
                  id, entry.seen ? 1 : 0);
            if (!entry.seen)
            {
                g_log(4, L"Usb_packet_device_list::process_return() - Device failed erasing id:%d.",
                      id);
                g_device_mark(entry);
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
    if (!read_records(m_pPacket))
    {
        // The entries this reply added get no open request: a later reply lists them again.
        for (Usb_device_entry& entry : g_device_list)
            if (entry.state == Usb_device_state::pending)
                g_device_mark(entry);
        g_device_erase_marked();
        return;
    }
    mark_twins();
    g_device_erase_marked();
    g_log(4, L"Usb_packet_device_list::process_return() - Processing marked list.");
    step_states();
    g_device_erase_marked();
}
