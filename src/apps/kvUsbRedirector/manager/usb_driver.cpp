#include "usb_driver.h"

#include "../channel/server_channel.h"
#include "../debug/usb_debug.h"
#include "../platform/platform.h"

#include <cstdlib>

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

// Fetches the interface detail (device path) into a heap block the caller frees.
SP_DEVICE_INTERFACE_DETAIL_DATA_W* fetch_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                SP_DEVINFO_DATA* devinfo)
{
    DWORD required = 0;
    g_platform().get_device_interface_detail(set, data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return nullptr;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, required));
    if (!detail)
        return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!g_platform().get_device_interface_detail(set, data, detail, required, nullptr, devinfo))
    {
        std::free(detail);
        return nullptr;
    }
    return detail;
}

} // namespace

bool g_open_bus_driver()
{
    bool opened = false;
    HDEVINFO set = g_platform().get_class_devs(&g_bus_driver_interface_class, k_class_flags);
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = nullptr;
    if (set == INVALID_HANDLE_VALUE)
        g_log(2, L"Usb_manager::g_open_bus_driver() - SetupDiGetClassDevs failed (Bus)");
    else
    {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!g_platform().enum_device_interfaces(set, &g_bus_driver_interface_class, 0, &data))
        {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                g_log(2, L"Usb_manager::g_open_bus_driver() - nterface is not registered (Bus)");
        }
        else if (!(detail = fetch_detail(set, &data, nullptr)))
            g_log(
                2,
                L"Usb_manager::g_open_bus_driver() - Error SetupDiGetInterfaceDeviceDetail (Bus)");
        else
        {
            g_bus_driver_handle = g_platform().create_file(
                detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
            if (g_bus_driver_handle == INVALID_HANDLE_VALUE)
                g_log(2, L"Usb_manager::g_open_bus_driver() - Device not ready (Bus)");
            else
                opened = true;
        }
    }
    std::free(detail);
    if (set != INVALID_HANDLE_VALUE)
        g_platform().destroy_device_info_list(set);
    g_log(4, L"Usb_manager::g_open_bus_driver() - return_value:%d", opened ? 1 : 0);
    return opened;
}

bool g_open_port_driver()
{
    HDEVINFO set = g_platform().get_class_devs(&g_port_driver_interface_class, k_class_flags);
    if (set == INVALID_HANDLE_VALUE)
    {
        g_log(2, L"Usb_manager::g_open_port_driver() - SetupDiGetClassDevs failed");
        return false;
    }
    bool opened = false;
    for (DWORD index = 0;; ++index)
    {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!g_platform().enum_device_interfaces(set, &g_port_driver_interface_class, index, &data))
        {
            g_log(4, L"Usb_manager::g_open_port_driver() - return_value:false");
            break;
        }
        SP_DEVINFO_DATA devinfo{};
        devinfo.cbSize = sizeof devinfo;
        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = fetch_detail(set, &data, &devinfo);
        if (!detail)
        {
            g_log(2, L"Usb_manager::g_open_port_driver() - SetupDiGetDeviceInterfaceDetail failed");
            break;
        }
        DWORD ui_number = 0xFFFFFFFF;
        DWORD type = 0;
        if (!g_platform().get_device_registry_property(set, &devinfo, SPDRP_UI_NUMBER, &type,
                                                       reinterpret_cast<BYTE*>(&ui_number),
                                                       sizeof ui_number, nullptr))
        {
            g_log(2,
                  L"Usb_manager::g_open_port_driver() - SetupDiGetDeviceRegistryProperty failed");
            std::free(detail);
            break;
        }
        if (ui_number != g_session_id)
        {
            std::free(detail);
            continue;
        }
        g_port_driver_handle = g_platform().create_file(
            detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
        std::free(detail);
        if (g_port_driver_handle == INVALID_HANDLE_VALUE)
            g_log(2, L"Usb_manager::g_open_port_driver() - Device not ready (Port)");
        else
        {
            g_log(4, L"Usb_manager::g_open_port_driver() - success return_value:true");
            opened = true;
        }
        break;
    }
    g_platform().destroy_device_info_list(set);
    return opened;
}

bool g_close_bus_driver()
{
    bool closed = false;
    if (g_bus_driver_handle != INVALID_HANDLE_VALUE)
        closed = g_platform().close_handle(g_bus_driver_handle) != FALSE;
    g_bus_driver_handle = INVALID_HANDLE_VALUE;
    g_log(4, L"Usb_manager::g_close_bus_driver() - success return_value:%d", closed ? 1 : 0);
    return closed;
}

bool g_close_port_driver()
{
    bool closed = false;
    if (g_port_driver_handle != INVALID_HANDLE_VALUE)
        closed = g_platform().close_handle(g_port_driver_handle) != FALSE;
    g_port_driver_handle = INVALID_HANDLE_VALUE;
    g_log(4, L"Usb_manager::g_close_port_driver() - success return_value:%d", closed ? 1 : 0);
    return closed;
}

bool g_call_port_driver(DWORD code, void* buffer, DWORD size, DWORD* bytes_returned,
                        HANDLE abort_event)
{
    HANDLE port = g_port_driver_handle;
    bool result = false;
    HANDLE event = nullptr;
    // The error of the failing step, left as the last error for the caller's log line.
    DWORD failure = ERROR_INVALID_HANDLE;
    if (port == INVALID_HANDLE_VALUE)
        g_log(3, L"Usb_manager::g_call_port_driver() - invalid handle");
    else
    {
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!event)
        {
            g_log(3, L"Usb_manager::g_call_port_driver() - CreateEvent() failed (%d)",
                  GetLastError());
            return false;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        g_log(4, L"Usb_manager::g_call_port_driver() - Calling DeviceIoControl");
        BOOL done = g_platform().device_io_control(port, code, buffer, size, buffer, size,
                                                   bytes_returned, &overlapped);
        DWORD error = GetLastError();
        g_log(4, L"Usb_manager::g_call_port_driver() - Return from DeviceIoControl");
        failure = error;
        if (done)
            result = true;
        else if (error != ERROR_IO_PENDING)
            g_log(3, L"Usb_manager::g_call_port_driver() - DeviceIoControl Failed: %d", error);
        else
        {
            HANDLE objects[2] = {event, abort_event};
            DWORD wait = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
            failure = wait == WAIT_FAILED ? GetLastError() : ERROR_OPERATION_ABORTED;
            if (wait == WAIT_OBJECT_0)
                result = true;
            else if (wait == WAIT_OBJECT_0 + 1)
                g_log(4, L"Usb_manager::g_call_port_driver() - Calling CancelIO");
            else
                g_log(3, L"Usb_manager::g_call_port_driver() - WaitForMultipleObjects() Failed: %s",
                      wait == WAIT_ABANDONED_0       ? L"WAIT_ABANDONED_0 + 0"
                      : wait == WAIT_ABANDONED_0 + 1 ? L"WAIT_ABANDONED_0 + 1"
                      : wait == WAIT_TIMEOUT         ? L"WAIT_TIMEOUT"
                      : wait == WAIT_FAILED          ? L"WAIT_FAILED"
                                                     : L"default");
            if (!result)
            {
                // The operation still ends on its own after CancelIo: its OVERLAPPED, event and
                // buffer must outlive it, so wait for that end before returning.
                g_platform().cancel_io(port);
                WaitForSingleObject(event, INFINITE);
            }
        }
    }
    if (event)
        CloseHandle(event);
    g_log(4, L"Usb_manager::g_call_port_driver() - success valid_data_returned:%d", result ? 1 : 0);
    if (!result)
        SetLastError(failure);
    return result;
}

bool g_call_bus_driver(DWORD code, DWORD session_id)
{
    DWORD buffer = session_id;
    DWORD returned = 0;
    return g_platform().device_io_control(g_bus_driver_handle, code, &buffer, sizeof buffer,
                                          &buffer, sizeof buffer, &returned, nullptr) != FALSE;
}
