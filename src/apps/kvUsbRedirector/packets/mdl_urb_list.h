// Outstanding transfers whose data buffer the port driver mapped into the process.
#pragma once

#include "../platform/owned.h"

#include <cstdint>
#include <list>

struct Mdl_urb_record
{
    uint32_t devid;
    uint8_t reply_code; // always 8: the reap reply completes the transfer
    uint32_t handle;
    uint32_t data_length; // size of the mapped buffer
    uint64_t data_address;
};

extern Process_lock g_mdl_urb_list_mutex;
// Oldest first.
extern std::list<Mdl_urb_record> g_mdl_urb_list GUARDED_BY(g_mdl_urb_list_mutex);

// Each takes g_mdl_urb_list_mutex itself, waiting without limit.
// False when the record could not be stored (no memory): the request must not be sent.
bool g_append_mdl_urb_record(const Mdl_urb_record& record) EXCLUDES(g_mdl_urb_list_mutex);
// Takes back the newest record equal to this one (after its request could not be sent), if
// a reply has not already taken it.
void g_remove_mdl_urb_record(const Mdl_urb_record& record) EXCLUDES(g_mdl_urb_list_mutex);
// Drops every record: the port driver let their requests go, so no address may be written.
void g_discard_mdl_urb_records() EXCLUDES(g_mdl_urb_list_mutex);
// The same for one device, once it is unplugged.
void g_discard_mdl_urb_records_of(uint32_t devid) EXCLUDES(g_mdl_urb_list_mutex);

// Removes the oldest record matching the three keys.
bool g_take_mdl_urb_record(uint32_t devid, uint8_t reply_code, uint32_t handle,
                           Mdl_urb_record* taken) EXCLUDES(g_mdl_urb_list_mutex);
