#include "mdl_urb_list.h"

#include "../manager/usb_manager.h"

#include <atomic>
#include <iterator>
#include <new>

std::list<Mdl_urb_record> g_mdl_urb_list;

namespace
{

std::atomic<uint64_t> g_record_allocations{0};

class Mdl_lock
{
  public:
    // Without the mutex no engine runs and nothing else touches the list. Waiting on
    // INVALID_HANDLE_VALUE, the process's own pseudo handle, would never return.
    Mdl_lock() : m_mutex(g_mdl_urb_list_mutex)
    {
        if (m_mutex != INVALID_HANDLE_VALUE)
            WaitForSingleObject(m_mutex, INFINITE);
    }
    ~Mdl_lock()
    {
        if (m_mutex != INVALID_HANDLE_VALUE)
            ReleaseMutex(m_mutex);
    }

  private:
    HANDLE m_mutex;
};

} // namespace

bool g_append_mdl_urb_record(const Mdl_urb_record& record)
{
    Mdl_lock lock;
    g_record_allocations.fetch_add(1, std::memory_order_relaxed);
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

void g_discard_mdl_urb_records_of(uint32_t devid)
{
    Mdl_lock lock;
    g_mdl_urb_list.remove_if([devid](const Mdl_urb_record& record)
                             { return record.devid == devid; });
}

uint64_t g_mdl_urb_record_allocation_count()
{
    return g_record_allocations.load(std::memory_order_relaxed);
}

size_t g_mdl_urb_record_count()
{
    Mdl_lock lock;
    return g_mdl_urb_list.size();
}

bool g_take_mdl_urb_record(uint32_t devid, uint8_t reply_code, uint32_t handle,
                           Mdl_urb_record* taken)
{
    Mdl_lock lock;
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
