// Fixture for the device list and attach handlers: the channel to the simulated terminal, the port
// driver open, plug-in and unplug requests completing at once unless a test says otherwise.
#pragma once

#include "sim_records.h"
#include "engine_fixture.h"
#include "packets/usb_device_list.h"

#include <optional>

class Device_fixture : public Engine_fixture
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the reconciliation on a heap copy of exactly the frame's bytes.
    void reconcile(const sim_records::Bytes& frame);
    void reconcile_empty();
    // Runs the open reply handler on a 10-byte status reply.
    void open_reply(uint32_t device_id, uint8_t status);
    // Lists the device and answers its open request with status 0 (no dialog): it is opened.
    void make_opened(const sim_records::Bytes& record);

    std::vector<std::pair<uint32_t, Usb_device_state>> entries();
    std::optional<Usb_device_state> state_of(uint32_t device_id);
    // Device ids of the open requests the terminal has received since the last call.
    std::vector<uint32_t> open_requests();
    // Device ids the port driver was asked to plug in or unplug.
    std::vector<uint32_t> port_calls(DWORD code);
};

// Polls (bounded) until the share dialog is shown with the focus settled; nullptr on time-out.
HWND g_wait_for_share_dialog(DWORD timeout_ms = 10000);
bool g_wait_until_gone(HWND window, DWORD timeout_ms = 10000);
