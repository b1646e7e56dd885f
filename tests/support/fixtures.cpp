#include "fixtures.h"

#include "channel/server_channel.h"
#include "debug/usb_debug.h"
#include "driver/usb_driver.h"
#include "manager/usb_manager.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet_device_list.h"
#include "packets/usb_packet_open.h"
#include "portable/reply_frame.h"
#include "resources/resource.h"
#include "shell/app_globals.h"
#include "shell/tray_menu.h"
#include "shell/warning_popup.h"

#include <cstring>

void Engine_fixture::SetUp()
{
    g_reset_seams();
    g_set_platform(&sim);
    g_trace_logger_handle = 1;
    g_trace_enable_level = 4;
    g_trace_enabled = 1;
    g_event_source_handle = reinterpret_cast<HANDLE>(0xE5);
    g_shorten_engine_waits();
    g_instance = GetModuleHandleW(nullptr); // the share dialog's module
    g_share_asker = g_ask_to_share;
    sim.add_drivers();
}

size_t g_mdl_urb_record_count()
{
    Lock_hold hold(g_mdl_urb_list_mutex);
    return g_mdl_urb_list.size();
}

void g_shorten_engine_waits()
{
    g_seams.timing.device_list_period_ms = 20;
    g_seams.timing.port_driver_idle_ms = 5;
    g_seams.timing.port_open_first_wait_ms = 1;
    g_seams.timing.port_open_retry_wait_ms = 1;
}

void g_settle_event_budget(Test_platform& sim)
{
    Sleep(1100);
    g_log(3, L"settle"); // and what was held back
    Sleep(1100);
    sim.clear_lines();
}

void Engine_fixture::TearDown()
{
    g_stop_threads();
    g_virtual_channel.close();
    g_port_driver_handle = INVALID_HANDLE_VALUE;
    g_bus_driver_handle = INVALID_HANDLE_VALUE;
    g_trace_enabled = 0;
    g_event_source_handle = nullptr;
    g_reset_seams();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

void Entry_fixture::SetUp()
{
    Engine_fixture::SetUp();
    product_type = VER_NT_WORKSTATION;
    g_seams.query_version = [](OSVERSIONINFOEXW* info)
    { return info->wProductType = product_type, TRUE; };
    // The process's own, so that a program left running by another test cannot refuse us.
    static const std::wstring name =
        L"Local\\kvUsbRedirector.Test." + std::to_wstring(GetCurrentProcessId());
    g_seams.single_instance_name = name.c_str();
}

void Entry_fixture::TearDown()
{
    if (app.joinable())
        quit();
    Engine_fixture::TearDown();
}

void Entry_fixture::launch()
{
    sim.clear_lines();
    g_notify_icon_data.hWnd = nullptr;
    app = std::thread([this] { exit_code = run_entry(); });
    ASSERT_TRUE(sim.wait_for_line(L"kvUsbRedirector::InitInstance (exit)"));
    ASSERT_NE(nullptr, window = g_notify_icon_data.hWnd);
    SendMessageW(window, WM_NULL, 0, 0);
}

int Entry_fixture::run_entry()
{
    wchar_t command_line[] = L"";
    return wWinMain(GetModuleHandleW(nullptr), nullptr, command_line, SW_SHOW);
}

void Entry_fixture::quit(UINT message)
{
    PostMessageW(window, message, IDM_EXIT, 0);
    app.join();
    EXPECT_EQ(0, exit_code);
    UnregisterClassW(L"KVUSBREDIRECTOR", GetModuleHandleW(nullptr));
}

void Device_fixture::SetUp()
{
    Engine_fixture::SetUp();
    ASSERT_TRUE(g_virtual_channel.open());
    g_port_driver_handle = sim.port_handle_value();
    g_is_server_os = false;
    g_warning_popup_disabled = false;
    for (HANDLE* h : {&g_exit_now_write_event, &g_exit_now_read_event})
        *h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_read_from_driver_running = true;
    m_request_pump =
        CreateThread(nullptr, 0, g_start_process_read_from_driver, nullptr, 0, nullptr);
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
    g_read_from_driver_running = false;
    SetEvent(g_exit_now_read_event);
    WaitForSingleObject(m_request_pump, 10000);
    CloseHandle(m_request_pump);
    sim.fail_calls(0);
    reconcile_empty();
    g_discard_mdl_urb_records();
    g_virtual_channel.close();
    for (HANDLE* h : {&g_exit_now_write_event, &g_exit_now_read_event})
        CloseHandle(std::exchange(*h, INVALID_HANDLE_VALUE));
    g_is_server_os = false;
    Engine_fixture::TearDown();
}

void Engine_fixture::reconcile(const std::vector<Bytes>& records, bool closing_zero)
{
    const Bytes frame = sim_records::reply(records, closing_zero);
    BYTE* copy = g_allocate_message(frame.size());
    std::memcpy(copy, frame.data(), frame.size());
    Usb_packet_device_list(copy, true).process_return();
}

void Engine_fixture::reconcile_empty()
{
    Usb_packet_device_list(nullptr, false).process_return();
}

void Engine_fixture::open_reply(uint32_t device_id, uint8_t status)
{
    BYTE frame[10] = {6, 0, 0, 0, kv::code_open, status};
    kv::store_u32(frame + 6, device_id);
    Usb_packet_open(frame, false).process_return();
}

void Engine_fixture::make_opened(const Bytes& record)
{
    reconcile({record});
    open_reply(kv::record_device_id(record.data()), 0);
}

std::vector<std::pair<uint32_t, Usb_device_state>> Engine_fixture::entries()
{
    std::vector<std::pair<uint32_t, Usb_device_state>> result;
    Lock_hold hold(g_device_list_mutex);
    for (const Usb_device_entry& entry : g_device_list)
        result.emplace_back(kv::record_device_id(g_record_bytes(entry.record.get())), entry.state);
    return result;
}

std::vector<uint32_t> Engine_fixture::open_requests()
{
    std::vector<uint32_t> ids;
    const std::vector<BYTE> bytes = g_terminal_drain(sim.terminal());
    EXPECT_EQ(0u, bytes.size() % 9);
    for (size_t at = 0; at + 9 <= bytes.size(); at += 9)
    {
        EXPECT_EQ(Bytes({5, 0, 0, 0, kv::code_open}), Bytes(&bytes[at], &bytes[at + 5]));
        ids.push_back(kv::load_u32(&bytes[at + 5]));
    }
    return ids;
}

std::vector<uint32_t> Engine_fixture::port_calls(DWORD code)
{
    std::vector<uint32_t> ids;
    for (const Bytes& input : sim.inputs(code))
        ids.push_back(kv::load_u32(input.data()));
    return ids;
}

std::vector<DWORD> audits(Test_platform& sim)
{
    std::vector<DWORD> ids;
    for (const auto& e : sim.events())
        if (e.type == EVENTLOG_INFORMATION_TYPE)
            ids.push_back(e.id);
    return ids;
}

std::wstring menu_line(const std::wstring& name, const std::wstring& id, const wchar_t* state)
{
    return name + L" (device " + id + L", 1234:5678:0100): " + state;
}

Lines g_device_menu()
{
    return g_menu_lines(g_build_device_menu().get());
}
