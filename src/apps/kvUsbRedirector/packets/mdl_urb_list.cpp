#include "mdl_urb_list.h"

#include "../manager/usb_manager.h"

#include <iterator>

std::list<Mdl_urb_record> g_mdl_urb_list;

namespace
{

class Mdl_lock
{
  public:
    Mdl_lock()
    {
        WaitForSingleObject(g_mdl_urb_list_mutex, INFINITE);
    }
    ~Mdl_lock()
    {
        ReleaseMutex(g_mdl_urb_list_mutex);
    }
};

} // namespace

void g_append_mdl_urb_record(const Mdl_urb_record& record)
{
    Mdl_lock lock;
    g_mdl_urb_list.push_back(record);
}

void g_remove_mdl_urb_record(const Mdl_urb_record& record)
{
    Mdl_lock lock;
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
    Mdl_lock lock;
    g_mdl_urb_list.clear();
}

size_t g_mdl_urb_record_count()
{
    Mdl_lock lock;
    return g_mdl_urb_list.size();
}

bool g_take_mdl_urb_record(uint32_t devid, uint8_t reply_code, uint32_t handle,
                           Mdl_urb_record* taken)
{
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
