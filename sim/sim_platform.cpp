#include "sim_platform.h"

#include "debug/usb_debug.h"
#include "driver/usb_driver.h"

#include "portable/frame.h"

#include <cstring>
#include <sddl.h>
#include <winternl.h>

namespace
{

constexpr uintptr_t k_port_base = 0x7A00;
constexpr uintptr_t k_bus_base = 0x7B00;

struct Device_set
{
    Sim_driver driver;
    std::vector<Fake_device> devices;
};

Device_set* as_set(HDEVINFO set)
{
    return static_cast<Device_set*>(set);
}

} // namespace

bool Sim_platform::is_port(HANDLE device)
{
    auto value = reinterpret_cast<uintptr_t>(device);
    return value >= k_port_base && value < k_port_base + 0x100;
}

Sim_driver Sim_platform::driver_of(HANDLE device)
{
    auto value = reinterpret_cast<uintptr_t>(device);
    return is_port(device)                                     ? Sim_driver::port
           : value >= k_bus_base && value < k_bus_base + 0x100 ? Sim_driver::bus
                                                               : Sim_driver::any;
}

// The session of a user at a client of fixed names.
bool Sim_platform::query_session_text(WTS_INFO_CLASS what, wchar_t* text, DWORD capacity)
{
    const wchar_t* value = what == WTSUserName     ? L"anna"
                           : what == WTSClientName ? L"KIOSK-7"
                           : what == WTSDomainName ? L"KELVRA"
                                                   : L"";
    return wcsncpy_s(text, capacity, value, _TRUNCATE) == 0;
}

void Sim_platform::free_memory(PVOID memory)
{
    LocalFree(memory);
}

HDEVINFO Sim_platform::get_class_devs(const GUID* cls, DWORD)
{
    const bool port = IsEqualGUID(*cls, g_port_driver_interface_class);
    const Sim_driver driver = port ? Sim_driver::port : Sim_driver::bus;
    const Sim_ending ending = m_endings.take(Sim_call::class_devs, driver);
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error), INVALID_HANDLE_VALUE;
    auto* set = new Device_set{driver, {}};
    if (port)
        set->devices = port_devices;
    else if (IsEqualGUID(*cls, g_bus_driver_interface_class))
        set->devices = bus_devices;
    return set;
}

BOOL Sim_platform::enum_device_interfaces(HDEVINFO set, const GUID*, DWORD index,
                                          SP_DEVICE_INTERFACE_DATA* data)
{
    const Sim_ending ending = m_endings.take(Sim_call::enum_interfaces, as_set(set)->driver);
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error);
    if (index >= as_set(set)->devices.size())
    {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL Sim_platform::get_device_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                               SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                               DWORD size, DWORD* required,
                                               SP_DEVINFO_DATA* devinfo)
{
    if (detail)
        if (const Sim_ending ending =
                m_endings.take(Sim_call::interface_detail, as_set(set)->driver);
            ending.end == Sim_end::fail_at_once)
            return Sim_io::fail_at_once(ending.error);
    const Fake_device& device = as_set(set)->devices.at(data->Reserved);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (device.path.size() + 1) * sizeof(wchar_t));
    if (required)
        *required = needed;
    if (!detail || size < needed || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, device.path.c_str(), (device.path.size() + 1) * 2);
    if (devinfo)
        devinfo->DevInst = static_cast<DWORD>(data->Reserved);
    return TRUE;
}

BOOL Sim_platform::get_device_registry_property(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                                DWORD property, DWORD* type, BYTE* buffer,
                                                DWORD size, DWORD* required)
{
    const Sim_ending ending = m_endings.take(Sim_call::ui_number, as_set(set)->driver);
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error);
    if (property != SPDRP_UI_NUMBER || size < 4)
        return Sim_io::fail_at_once(ERROR_INVALID_DATA);
    DWORD value = as_set(set)->devices.at(devinfo->DevInst).ui_number;
    std::memcpy(buffer, &value, 4);
    if (type)
        *type = REG_DWORD;
    if (required)
        *required = 4;
    return TRUE;
}

BOOL Sim_platform::destroy_device_info_list(HDEVINFO set)
{
    delete as_set(set);
    return TRUE;
}

HANDLE Sim_platform::create_file(LPCWSTR path, DWORD, DWORD, DWORD, DWORD flags)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool not_ready = false;
    for (size_t i = 0; i < port_devices.size(); ++i)
        if (port_devices[i].path == path)
        {
            handle = reinterpret_cast<HANDLE>(k_port_base + i);
            not_ready = port_devices[i].not_ready;
        }
    for (size_t i = 0; i < bus_devices.size(); ++i)
        if (bus_devices[i].path == path)
        {
            handle = reinterpret_cast<HANDLE>(k_bus_base + i);
            not_ready = bus_devices[i].not_ready;
        }
    const Sim_ending ending = m_endings.take(Sim_call::create_file, driver_of(handle));
    if (handle == INVALID_HANDLE_VALUE || not_ready || ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.end == Sim_end::fail_at_once ? ending.error
                                                                        : ERROR_FILE_NOT_FOUND),
               INVALID_HANDLE_VALUE;
    m_io.opened(handle, flags);
    return handle;
}

HANDLE Sim_platform::port_handle_value() const
{
    return reinterpret_cast<HANDLE>(k_port_base);
}

void Sim_platform::add_drivers()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    bus_devices.push_back({L"\\\\?\\sim#bus", 0, false});
    port_devices.push_back({L"\\\\?\\sim#port", session, false});
}

Sim_call g_sim_call_of(DWORD code)
{
    switch (code)
    {
    case IOCTL_PORT_QUERY:
        return Sim_call::port_query;
    case IOCTL_PORT_COMPLETE:
        return Sim_call::port_complete;
    case IOCTL_PORT_PLUG_IN:
        return Sim_call::port_plug_in;
    case IOCTL_PORT_UNPLUG:
        return Sim_call::port_unplug;
    case IOCTL_BUS_REGISTER_SESSION:
        return Sim_call::bus_register;
    default:
        return Sim_call::bus_unregister;
    }
}

BOOL Sim_platform::device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                     LPVOID out, DWORD out_size, DWORD* returned,
                                     OVERLAPPED* overlapped)
{
    const uint32_t devid = in && in_size >= 4 ? kv::load_u32(static_cast<const BYTE*>(in)) : 0;
    if (transcript)
        transcript->driver_called(code, static_cast<const BYTE*>(in), in_size);
    const Sim_ending ending = m_endings.take(g_sim_call_of(code), driver_of(device), devid);
    if (is_port(device))
        return m_io.call(device, overlapped,
                         [&](OVERLAPPED* own) {
                             return port_io_control(device, code, in, in_size, out, out_size,
                                                    returned, own, ending);
                         });
    // The bus driver is synchronous: done or failed at once.
    if (driver_of(device) != Sim_driver::bus)
        return Sim_io::fail_at_once(ERROR_INVALID_HANDLE);
    if (ending.end == Sim_end::fail_at_once)
        return Sim_io::fail_at_once(ending.error);
    return Sim_io::done_at_once(nullptr, 0, returned);
}

BOOL Sim_platform::cancel_io(HANDLE device)
{
    return m_io.cancel(device, nullptr, false);
}

BOOL Sim_platform::close_handle(HANDLE device)
{
    auto value = reinterpret_cast<uintptr_t>(device);
    return (is_port(device) || (value >= k_bus_base && value < k_bus_base + 0x100)) ? TRUE : FALSE;
}

ULONG Sim_platform::register_trace_guids(WMIDPREQUEST, PVOID, const GUID*, ULONG,
                                         TRACE_GUID_REGISTRATION*, TRACEHANDLE* registration)
{
    *registration = 0x77;
    return ERROR_SUCCESS;
}

ULONG Sim_platform::unregister_trace_guids(TRACEHANDLE)
{
    return ERROR_SUCCESS;
}

ULONG Sim_platform::trace_event(TRACEHANDLE, EVENT_TRACE_HEADER* record)
{
    if (transcript) // the program's record: its header, then the line
        transcript->traced(record->Class.Level, reinterpret_cast<const wchar_t*>(record + 1),
                           (record->Size - sizeof *record) / sizeof(wchar_t));
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

TRACEHANDLE Sim_platform::get_trace_logger_handle(PVOID buffer)
{
    return reinterpret_cast<TRACEHANDLE>(buffer);
}

UCHAR Sim_platform::get_trace_enable_level(TRACEHANDLE logger)
{
    return static_cast<UCHAR>(logger & 0xFF);
}

ULONG Sim_platform::get_trace_enable_flags(TRACEHANDLE)
{
    return 1;
}

HANDLE Sim_platform::register_event_source(LPCWSTR, LPCWSTR)
{
    return reinterpret_cast<HANDLE>(0xE5);
}

BOOL Sim_platform::report_event(HANDLE, WORD type, WORD, DWORD id, PSID user, WORD count,
                                LPCWSTR* strings)
{
    if (transcript)
        transcript->event_reported(type, id, user != nullptr, count, strings);
    std::wstring sid;
    LPWSTR sid_text = nullptr;
    if (user && ConvertSidToStringSidW(user, &sid_text))
    {
        sid = sid_text;
        LocalFree(sid_text);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++events_reported;
    std::wstring text = count ? strings[0] : L""; // the inserts of an audit event, joined by |
    for (WORD i = 1; i < count; ++i)
        text += std::wstring(L"|") + strings[i];
    m_events.push_back({type, id, text, sid});
    if (m_events.size() > record_limit)
        m_events.erase(m_events.begin(), m_events.end() - record_limit);
    SetLastError(ERROR_SUCCESS); // a sink may touch the last error, as the system's do
    return TRUE;
}

BOOL Sim_platform::deregister_event_source(HANDLE)
{
    return TRUE;
}

std::vector<Sim_platform::Event_record> Sim_platform::events()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void Sim_platform::clear_events()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}
