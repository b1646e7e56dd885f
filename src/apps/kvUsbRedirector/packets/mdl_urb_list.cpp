#include "mdl_urb_list.h"

#include <iterator>
#include <new>

std::list<Mdl_urb_record> g_mdl_urb_list;
Process_lock g_mdl_urb_list_mutex;

bool g_append_mdl_urb_record(const Mdl_urb_record& record)
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    try
    {
        g_mdl_urb_list.push_back(record);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    return true;
}

void g_remove_mdl_urb_record(const Mdl_urb_record& record)
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    for (auto it = g_mdl_urb_list.rbegin(); it != g_mdl_urb_list.rend(); ++it)
    {
        if (it->devid == record.devid && it->handle == record.handle &&
            it->data_address == record.data_address && it->data_length == record.data_length)
        {
            g_mdl_urb_list.erase(std::next(it).base());
            return;
        }
    }
}

void g_discard_mdl_urb_records()
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    g_mdl_urb_list.clear();
}

void g_discard_mdl_urb_records_of(uint32_t devid)
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    g_mdl_urb_list.remove_if([devid](const Mdl_urb_record& record)
                             { return record.devid == devid; });
}

bool g_take_mdl_urb_record(uint32_t devid, uint8_t reply_code, uint32_t handle,
                           Mdl_urb_record* taken)
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    for (auto it = g_mdl_urb_list.begin(); it != g_mdl_urb_list.end(); ++it)
    {
        if (it->devid == devid && it->reply_code == reply_code && it->handle == handle)
        {
            *taken = *it;
            g_mdl_urb_list.erase(it);
            return true;
        }
    }
    return false;
}
