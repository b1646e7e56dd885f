// The devices the terminal has reported, guarded by g_device_list_mutex.
#pragma once

#include "../platform/owned.h"
#include "mdl_urb_list.h"
#include "../portable/device_record.h"

#include <windows.h>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

using Usb_device_record = kv::Usb_device_record;

enum class Usb_device_state : uint32_t
{
    pending = 0,        // newly reported, no open request sent yet
    pending_return = 1, // open request sent: waiting for the reply or the user's answer
    opened = 2,         // plug-in requested from the port driver
    failed = 3,         // not retried while the terminal keeps listing it
    marked = 4,         // erased before the reconciliation returns
};

// What became of the share dialog's question; shown in the tray, never steers the states.
enum class Share_answer : uint8_t
{
    not_asked = 0,
    awaited = 1,  // the dialog is up
    declined = 2, // the dialog ended without a plug-in: the entry stays pending_return
};

struct Usb_device_entry
{
    Usb_device_state state;
    Owned_block<Usb_device_record> record; // the entry's own copy of the whole record
    uint8_t seen;                          // listed by the reply being reconciled
    Share_answer answer = Share_answer::not_asked;
    bool blocked = false; // failed because the administrator's policy refuses it
    uint64_t ticket = 0;  // of the question out while pending_return, else 0
};

// Taken before g_mdl_urb_list_mutex when both are held. A share dialog thread can outlive the
// engine's stop and still take it.
extern Process_lock g_device_list_mutex ACQUIRED_BEFORE(g_mdl_urb_list_mutex);
// In the order the devices were first reported; a device id occurs at most once.
extern std::list<Usb_device_entry> g_device_list GUARDED_BY(g_device_list_mutex);

inline BYTE* g_record_bytes(Usb_device_record* record)
{
    return reinterpret_cast<BYTE*>(record);
}

inline uint32_t g_device_id_of(const Usb_device_entry& entry)
{
    return kv::record_device_id(g_record_bytes(entry.record.get()));
}

// A view's name longer than this is cut: the tray menu stays narrower than the screen.
constexpr size_t k_device_view_name_chars = 100;
// What the tray shows of a device, copied from the list whenever the list changes.
struct Usb_device_view
{
    int32_t id;           // signed, as the share dialog shows it
    std::wstring name;    // the display name; empty when the record has none
    std::wstring numbers; // the identity numbers as the administrator's rules write them
    Usb_device_state state;
    Share_answer answer;
    bool blocked;
};
// Copies the list into the views. The views' own lock is held only to swap the copy in, so a
// reader never waits for the list's holder, who may be waiting for the port driver. Without
// memory for the copy the views stay as they were.
void g_publish_device_views() noexcept REQUIRES(g_device_list_mutex);
std::vector<Usb_device_view> g_device_views();

// The thread that must never hold the device list, whose holder may wait for the port driver:
// the window thread, named by the shell while its loop runs. A hold taken there anyway is logged
// as the fault it is.
void g_keep_device_list_off_this_thread(bool off = true);
bool g_device_list_held_off_limits();

// Holds the device list.
class SCOPED_CAPABILITY Device_list_hold
{
  public:
    Device_list_hold() ACQUIRE(g_device_list_mutex);
    ~Device_list_hold() RELEASE()
    {
        g_device_list_mutex.release();
    }
    Device_list_hold(const Device_list_hold&) = delete;
    Device_list_hold& operator=(const Device_list_hold&) = delete;
};

// Holds the device list for a change, and publishes the views when the change ends.
class SCOPED_CAPABILITY Device_list_change
{
  public:
    Device_list_change() ACQUIRE(g_device_list_mutex) : m_hold() {}
    ~Device_list_change() RELEASE()
    {
        g_publish_device_views();
    }
    Device_list_change(const Device_list_change&) = delete;
    Device_list_change& operator=(const Device_list_change&) = delete;

  private:
    Device_list_hold m_hold;
};

// The entry or the record with the id, or nullptr; the caller holds the mutex and uses them
// only while it keeps holding it. A state changes only through device_life.h.
Usb_device_entry* g_find_device_entry(uint32_t device_id) REQUIRES(g_device_list_mutex);
Usb_device_record* g_find_device_record(uint32_t device_id) REQUIRES(g_device_list_mutex);
// The record's display name in the system code page's reading, cut to fit chars (which is at
// least 1); false, with text empty, when the record has none or an empty one.
bool g_device_display_name(const Usb_device_record* record, wchar_t* text, size_t chars);
// The identity numbers as the administrator's rules write them: "0781:5581:0100".
std::wstring g_device_numbers_text(const Usb_device_record* record);
// The audit event of a device (shared, declined, refused, removed, blocked), with the account's
// SID: the session's DOMAIN\user, the session, its client, the device's display name, its id,
// its identity numbers as rules write them, its identity string and, for a blocked device, why.
void g_audit_device(DWORD event_id, const Usb_device_record* record,
                    const wchar_t* reason = nullptr);
