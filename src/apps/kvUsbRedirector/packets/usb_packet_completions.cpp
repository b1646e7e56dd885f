// Completions of the device requests, and the handlers that only log.
#include "../debug/usb_debug.h"
#include "../driver/usb_driver.h"
#include "../platform/overlapped_call.h"
#include "../portable/completion.h"
#include "usb_packet_types.h"

void Usb_packet_status_request::complete_status_request(BYTE code)
{
    BYTE completion[kv::k_completion_size];
    // A reply too short for its status and device id cannot be completed: dropped.
    size_t size = m_pPacket ? kv::frame_total_size(kv::load_u32(m_pPacket)) : 0;
    if (!m_pPacket || !kv::build_status_completion(m_pPacket, size, code, completion))
    {
        g_log(3, L"Usb_packet_status_request::process_return() - reply too short, dropped");
        return;
    }
    DWORD returned = sizeof completion;
    g_call_port_driver(IOCTL_PORT_COMPLETE, completion, sizeof completion, &returned,
                       g_thread_stop_event());
}

void Usb_packet_reset::process_return()
{
    g_log(4, L"Usb_packet_reset::process_return() entered.");
    complete_status_request(kv::code_reset);
}

void Usb_packet_set_config::process_return()
{
    g_log(4, L"Usb_packet_set_config::process_return() entered.");
    complete_status_request(kv::code_set_config);
}

void Usb_packet_claim_interface::process_return()
{
    g_log(4, L"Usb_packet_claim_interface::process_return() entered.");
    complete_status_request(kv::code_claim_interface);
}

void Usb_packet_release_interface::process_return()
{
    g_log(4, L"Usb_packet_release_interface::process_return() entered.");
    complete_status_request(kv::code_release_interface);
}

void Usb_packet_interface_setting::process_return()
{
    g_log(4, L"Usb_packet_interface_setting::process_return() entered.");
    complete_status_request(kv::code_interface_setting);
}

// The port driver expects no completion for these two.
void Usb_packet_clear_halted_ep::process_return()
{
    g_log(4, L"Usb_packet_clear_halted_ep::process_return() entered.");
}

void Usb_packet_cancel_urb::process_return()
{
    g_log(4, L"Usb_packet_cancel_urb::process_return() entered.");
}
