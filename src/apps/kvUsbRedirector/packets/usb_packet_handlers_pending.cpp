// Handlers whose work arrives with the completion messages; until then they
// accept their message and do nothing.
#include "usb_packet_types.h"

void Usb_packet_status_request::process_return() {}

bool Usb_packet_reap_urb::process_param()
{
    return true;
}

void Usb_packet_reap_urb::process_return() {}

void Usb_packet_clear_halted_ep::process_return() {}

void Usb_packet_cancel_urb::process_return() {}
