#include "device_fixture.h"

#include "manager/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/usb_packet_device_list.h"
#include "packets/usb_packet_open.h"
#include "resources/resource.h"
#include "shell/app_globals.h"

#include <cstring>

void Device_fixture::SetUp()
{
    Engine_fixture::SetUp();
    open_channel_only();
    ASSERT_TRUE(g_create_device_list_mutex());
    g_port_driver_handle = sim.port_handle_value();
    sim.port_behaviour = [](const Ioctl_call& call)
    {
        return call.code == IOCTL_PORT_PLUG_IN || call.code == IOCTL_PORT_UNPLUG
                   ? Port_outcome::complete
                   : Port_outcome::pend;
    };
    g_instance = GetModuleHandleW(nullptr);
    g_is_server_os = false;
    g_warning_popup_disabled = false;
}

void Device_fixture::TearDown()
{
    // A dialog a failed test left open must not answer for the next test.
    while (HWND dialog = FindWindowW(L"#32770", L"Kelvra USB Redirector"))
    {
        SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        if (!g_wait_until_gone(dialog, 5000))
            break;
    }
    sim.port_behaviour = [](const Ioctl_call&) { return Port_outcome::complete; };
    reconcile_empty();
    close_channel_only();
    g_is_server_os = false;
    g_warning_popup_disabled = false;
    Engine_fixture::TearDown();
}

void Device_fixture::reconcile(const sim_records::Bytes& frame)
{
    BYTE* copy = g_allocate_message(frame.size());
    std::memcpy(copy, frame.data(), frame.size());
    Usb_packet_device_list packet(copy, true);
    packet.process_return();
}

void Device_fixture::reconcile_empty()
{
    Usb_packet_device_list packet(nullptr, false);
    packet.process_return();
}

void Device_fixture::open_reply(uint32_t device_id, uint8_t status)
{
    BYTE frame[10] = {6, 0, 0, 0, kv::code_open, status};
    kv::store_u32(frame + 6, device_id);
    Usb_packet_open packet(frame, false);
    packet.process_return();
}

void Device_fixture::make_opened(const sim_records::Bytes& record)
{
    reconcile(sim_records::reply({record}));
    open_reply(kv::record_device_id(record.data()), 0);
}

std::vector<std::pair<uint32_t, Usb_device_state>> Device_fixture::entries()
{
    std::vector<std::pair<uint32_t, Usb_device_state>> result;
    EXPECT_TRUE(g_lock_device_list());
    for (const Usb_device_entry& entry : g_device_list)
        result.emplace_back(kv::record_device_id(g_record_bytes(entry.record)), entry.state);
    g_unlock_device_list();
    return result;
}

std::optional<Usb_device_state> Device_fixture::state_of(uint32_t device_id)
{
    for (auto [id, state] : entries())
        if (id == device_id)
            return state;
    return std::nullopt;
}

std::vector<uint32_t> Device_fixture::open_requests()
{
    std::vector<uint32_t> ids;
    DWORD available = g_terminal_available(sim.terminal());
    std::vector<BYTE> bytes = g_terminal_receive(sim.terminal(), available, 1000);
    for (size_t at = 0; at + 9 <= bytes.size(); at += 9)
    {
        EXPECT_EQ(5u, kv::load_u32(&bytes[at]));
        EXPECT_EQ(kv::code_open, bytes[at + 4]);
        ids.push_back(kv::load_u32(&bytes[at + 5]));
    }
    EXPECT_EQ(0u, bytes.size() % 9);
    return ids;
}

std::vector<uint32_t> Device_fixture::port_calls(DWORD code)
{
    std::vector<uint32_t> ids;
    for (const Ioctl_call& call : sim.calls())
        if (call.code == code && call.input.size() >= 4)
            ids.push_back(kv::load_u32(call.input.data()));
    return ids;
}

HWND g_wait_for_share_dialog(DWORD timeout_ms)
{
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (GetTickCount64() < deadline)
    {
        HWND dialog = FindWindowW(L"#32770", L"Kelvra USB Redirector");
        if (dialog && IsWindowVisible(dialog))
        {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) &&
                info.hwndFocus == GetDlgItem(dialog, IDCANCEL))
                return dialog;
        }
        Sleep(5);
    }
    return nullptr;
}

bool g_wait_until_gone(HWND window, DWORD timeout_ms)
{
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (IsWindow(window))
    {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(5);
    }
    return true;
}
