#include "usb_driver.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../platform/overlapped_call.h"
#include "../platform/owned.h"
#include "../platform/platform.h"

#include <cstdlib>
#include <memory>

// {47098805-D58A-4A66-9BB2-28EDD7D345FC}
const GUID g_bus_driver_interface_class = {
    0x47098805, 0xD58A, 0x4A66, {0x9B, 0xB2, 0x28, 0xED, 0xD7, 0xD3, 0x45, 0xFC}};
// {EF91717A-719D-4C55-9BD0-E5692E2D768E}
const GUID g_port_driver_interface_class = {
    0xEF91717A, 0x719D, 0x4C55, {0x9B, 0xD0, 0xE5, 0x69, 0x2E, 0x2D, 0x76, 0x8E}};

HANDLE g_bus_driver_handle = INVALID_HANDLE_VALUE;
HANDLE g_port_driver_handle = INVALID_HANDLE_VALUE;

namespace
{

constexpr DWORD k_class_flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The handles' owners; the globals are views of them for the engine's calls.
Owned_driver_file g_bus_driver;
Owned_driver_file g_port_driver;

Owned_device_info_set class_devices(const GUID* interface_class)
{
    return Owned_device_info_set(g_platform().get_class_devs(interface_class, k_class_flags));
}

// The interface's detail (its device path) in a block of the size the call asks for.
using Interface_detail = Owned_block<SP_DEVICE_INTERFACE_DETAIL_DATA_W>;

Interface_detail fetch_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                              SP_DEVINFO_DATA* devinfo)
{
    DWORD required = 0;
    g_platform().get_device_interface_detail(set, data, nullptr, 0, &required, nullptr);
    Interface_detail detail;
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return detail;
    detail.reset(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, required)));
    if (!detail)
        return detail;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!g_platform().get_device_interface_detail(set, data, detail.get(), required, nullptr,
                                                  devinfo))
        detail.reset();
    return detail;
}

} // namespace

bool g_open_bus_driver()
{
    bool opened = false;
    const Owned_device_info_set set = class_devices(&g_bus_driver_interface_class);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    Interface_detail detail;
    if (!set)
        g_log(2, L"Usb_manager::g_open_bus_driver() - SetupDiGetClassDevs failed (Bus)");
    else if (!g_platform().enum_device_interfaces(set.get(), &g_bus_driver_interface_class, 0,
                                                  &data))
    {
        if (GetLastError() == ERROR_NO_MORE_ITEMS)
            g_log(2, L"Usb_manager::g_open_bus_driver() - nterface is not registered (Bus)");
    }
    else if (!(detail = fetch_detail(set.get(), &data, nullptr)))
        g_log(2, L"Usb_manager::g_open_bus_driver() - Error SetupDiGetInterfaceDeviceDetail (Bus)");
    else
    {
        g_bus_driver.reset(g_platform().create_file(
            detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0));
        g_bus_driver_handle = g_bus_driver.get();
        if (!g_bus_driver)
            g_log(2, L"Usb_manager::g_open_bus_driver() - Device not ready (Bus)");
        else
            opened = true;
    }
    g_log(4, L"Usb_manager::g_open_bus_driver() - return_value:%d", opened ? 1 : 0);
    return opened;
}

bool g_open_port_driver()
{
    const Owned_device_info_set set = class_devices(&g_port_driver_interface_class);
    if (!set)
    {
        g_log(2, L"Usb_manager::g_open_port_driver() - SetupDiGetClassDevs failed");
        return false;
    }
    for (DWORD index = 0;; ++index)
    {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!g_platform().enum_device_interfaces(set.get(), &g_port_driver_interface_class, index,
                                                 &data))
        {
            g_log(4, L"Usb_manager::g_open_port_driver() - return_value:false");
            return false;
        }
        SP_DEVINFO_DATA devinfo{};
        devinfo.cbSize = sizeof devinfo;
        const Interface_detail detail = fetch_detail(set.get(), &data, &devinfo);
        if (!detail)
        {
            g_log(2, L"Usb_manager::g_open_port_driver() - SetupDiGetDeviceInterfaceDetail failed");
            return false;
        }
        DWORD ui_number = 0xFFFFFFFF;
        DWORD type = 0;
        if (!g_platform().get_device_registry_property(set.get(), &devinfo, SPDRP_UI_NUMBER, &type,
                                                       reinterpret_cast<BYTE*>(&ui_number),
                                                       sizeof ui_number, nullptr))
        {
            g_log(2,
                  L"Usb_manager::g_open_port_driver() - SetupDiGetDeviceRegistryProperty failed");
            return false;
        }
        if (ui_number != g_session_id)
            continue;
        g_port_driver.reset(g_platform().create_file(
            detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            OPEN_EXISTING, FILE_FLAG_OVERLAPPED));
        g_port_driver_handle = g_port_driver.get();
        if (!g_port_driver)
        {
            g_log(2, L"Usb_manager::g_open_port_driver() - Device not ready (Port)");
            return false;
        }
        g_log(4, L"Usb_manager::g_open_port_driver() - success return_value:true");
        return true;
    }
}

namespace
{

// Closes the handle if open and marks it closed either way; true when a close succeeded.
bool close_driver(Owned_driver_file& driver, HANDLE& handle, const wchar_t* name)
{
    const bool closed = driver && driver.reset();
    handle = INVALID_HANDLE_VALUE;
    g_log(4, L"Usb_manager::g_close_%s_driver() - success return_value:%d", name, closed ? 1 : 0);
    return closed;
}

} // namespace

bool g_close_bus_driver()
{
    return close_driver(g_bus_driver, g_bus_driver_handle, L"bus");
}

bool g_close_port_driver()
{
    return close_driver(g_port_driver, g_port_driver_handle, L"port");
}

namespace
{

void trace_port_call(Io_step step)
{
    if (step == Io_step::issuing)
        g_log(4, L"Usb_manager::g_call_port_driver() - Calling DeviceIoControl");
    else if (step == Io_step::issued)
        g_log(4, L"Usb_manager::g_call_port_driver() - Return from DeviceIoControl");
    else
        g_log(4, L"Usb_manager::g_call_port_driver() - Calling CancelIO");
}

const wchar_t* wait_failure_name(DWORD wait)
{
    switch (wait)
    {
    case WAIT_ABANDONED_0:
        return L"WAIT_ABANDONED_0 + 0";
    case WAIT_ABANDONED_0 + 1:
        return L"WAIT_ABANDONED_0 + 1";
    case WAIT_TIMEOUT:
        return L"WAIT_TIMEOUT";
    case WAIT_FAILED:
        return L"WAIT_FAILED";
    default:
        return L"default";
    }
}

} // namespace

bool g_call_port_driver(DWORD code, void* buffer, DWORD size, DWORD* bytes_returned,
                        HANDLE abort_event)
{
    HANDLE port = g_port_driver_handle;
    Io_result result = Io_result::start_failed;
    // The error of the failing step, left as the last error for the caller's log line.
    DWORD failure = ERROR_INVALID_HANDLE;
    if (port == INVALID_HANDLE_VALUE)
        g_log(3, L"Usb_manager::g_call_port_driver() - invalid handle");
    else
    {
        result = g_overlapped_call(
            {Io_kind::control, port, code, buffer, size, buffer, size, trace_port_call},
            abort_event, bytes_returned);
        failure = GetLastError();
        if (result == Io_result::no_event)
        {
            g_log(3, L"Usb_manager::g_call_port_driver() - CreateEvent() failed (%d)", failure);
            SetLastError(failure);
            return false;
        }
        if (result == Io_result::start_failed)
            g_log(3, L"Usb_manager::g_call_port_driver() - DeviceIoControl Failed: %d", failure);
        else if (result == Io_result::result_failed)
            g_log(3, L"Usb_manager::g_call_port_driver() - DeviceIoControl ended in failure: %d",
                  failure);
        else if (result == Io_result::wait_failed)
            g_log(3, L"Usb_manager::g_call_port_driver() - WaitForMultipleObjects() Failed: %s",
                  wait_failure_name(failure));
    }
    const bool done = result == Io_result::done;
    g_log(4, L"Usb_manager::g_call_port_driver() - success valid_data_returned:%d", done ? 1 : 0);
    if (!done)
        SetLastError(failure);
    return done;
}

bool g_call_bus_driver(DWORD code, DWORD session_id)
{
    DWORD buffer = session_id;
    DWORD returned = 0;
    return g_platform().device_io_control(g_bus_driver_handle, code, &buffer, sizeof buffer,
                                          &buffer, sizeof buffer, &returned, nullptr) != FALSE;
}
