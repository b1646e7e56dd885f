// Fixtures: the simulator installed with every log line kept, the engine's waits shortened, and
// the device handlers run by hand; for those without the engine, the channel to the simulated
// terminal and the port driver open.
#pragma once

#include "sim_records.h"
#include "sim_user.h"
#include "test_platform.h"
#include "packets/usb_device_list.h"

#include <gtest/gtest.h>

#include <thread>

using sim_records::Bytes;
using sim_records::record;

// The values' little-endian bytes, each at its own width: le(uint32_t{5}, BYTE{12}) is a frame.
template <class... T> Bytes le(T... values)
{
    Bytes bytes;
    auto put = [&](auto v)
    {
        for (size_t i = 0; i < sizeof v; ++i)
            bytes.push_back(static_cast<BYTE>(static_cast<uint64_t>(v) >> 8 * i));
    };
    (put(values), ...);
    return bytes;
}

// The terminal's reap reply: the announced length, then what data there is.
inline Bytes reap_reply(uint32_t handle, uint32_t length, const Bytes& data, uint32_t devid = 7)
{
    Bytes r = le(static_cast<uint32_t>(15 + data.size()), BYTE{8}, devid, BYTE{0x21}, BYTE{0},
                 handle, length);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// An MDL URB request (code 15) of 32 bytes: direction, data length and mapped address.
inline Bytes mdl_request(uint32_t handle, uint32_t length, const void* data, BYTE direction = 1,
                         uint32_t devid = 7)
{
    return le(uint32_t{28}, BYTE{15}, devid, handle, uint16_t{0x1616}, direction,
              uint32_t{0x16161616}, length, reinterpret_cast<uint64_t>(data));
}

// The MDL records outstanding.
size_t g_mdl_urb_record_count();
// The poller every 20 ms, the port driver looked for every millisecond.
void g_shorten_engine_waits();
// Waits until the event log's budget (20 errors and warnings a second) is whole again, with
// nothing held back by earlier tests, then forgets the lines and events.
void g_settle_event_budget(Test_platform& sim);

using S = Usb_device_state;
using Entries = std::vector<std::pair<uint32_t, Usb_device_state>>;
using Ids = std::vector<uint32_t>;

class Engine_fixture : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs the reconciliation on a heap copy of exactly the reply's bytes, or on none.
    void reconcile(const std::vector<Bytes>& records, bool closing_zero = true);
    void reconcile_empty();
    // Runs the open reply handler on a 10-byte status reply.
    void open_reply(uint32_t device_id, uint8_t status);
    // Lists the device and answers its open request with status 0: opened, or asked on a server.
    void make_opened(const Bytes& record);
    std::vector<std::pair<uint32_t, Usb_device_state>> entries();
    // Device ids of the open requests the terminal has received since the last call.
    std::vector<uint32_t> open_requests();
    // Device ids the port driver was asked to plug in or unplug.
    std::vector<uint32_t> port_calls(DWORD code);

    Test_platform sim;
};

// The program's entry as the exe runs it, on its own thread, as the edition product_type.
class Entry_fixture : public Engine_fixture
{
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs the entry and waits (bounded) for its message loop.
    void launch();
    void quit(UINT message = WM_COMMAND); // WM_CLOSE: how the negotiation ends it
    static int run_entry();

    static inline BYTE product_type = VER_NT_WORKSTATION;
    std::thread app;
    HWND window = nullptr;
    int exit_code = -1;
};

// The device handlers without the engine: the channel open, the port driver open, the exit
// events made, and the request pump running.
class Device_fixture : public Engine_fixture
{
  protected:
    void SetUp() override;
    void TearDown() override;
    HANDLE m_request_pump = nullptr;
};

// The ids of the audit events logged, and the tray menu line of a device with the default
// record's numbers.
std::vector<DWORD> audits(Test_platform& sim);
std::wstring menu_line(const std::wstring& name, const std::wstring& id, const wchar_t* state);

// The tray's device menu as it would be shown now.
Lines g_device_menu();
