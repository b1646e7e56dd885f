#include "message_table.h"

#include "../portable/message_codes.h"
#include "../portable/reply_frame.h"
#include "usb_packet_types.h"

namespace
{

template <class Packet> bool send_as(BYTE* request)
{
    return Packet(request, false).process_param();
}

template <class Packet> void receive_as(BYTE* reply, uint32_t)
{
    Packet(reply, false).process_return();
}

// The version is read from the reply's length alone: one body byte is version 1, any other 2.
void receive_negotiate(BYTE* reply, uint32_t length)
{
    Usb_packet_negotiate(reply, false, kv::negotiated_version(length)).process_return();
}

template <class Packet> constexpr Message_handlers both()
{
    return {send_as<Packet>, receive_as<Packet>};
}

} // namespace

Message_handlers g_message_handlers(uint8_t code)
{
    Message_handlers handlers{nullptr, nullptr};
    switch (code)
    {
    case kv::code_open:
        handlers = both<Usb_packet_open>();
        break;
    case kv::code_reset:
        handlers = both<Usb_packet_reset>();
        break;
    case kv::code_set_config:
        handlers = both<Usb_packet_set_config>();
        break;
    case kv::code_claim_interface:
        handlers = both<Usb_packet_claim_interface>();
        break;
    case kv::code_release_interface:
        handlers = both<Usb_packet_release_interface>();
        break;
    case kv::code_interface_setting:
        handlers = both<Usb_packet_interface_setting>();
        break;
    case kv::code_queue_urb:
        handlers = both<Usb_packet_queue_urb>();
        break;
    case kv::code_reap_urb:
        handlers = both<Usb_packet_reap_urb>();
        break;
    case kv::code_clear_halted_ep:
        handlers = both<Usb_packet_clear_halted_ep>();
        break;
    case kv::code_cancel_urb:
        handlers = both<Usb_packet_cancel_urb>();
        break;
    case kv::code_device_list:
        handlers = both<Usb_packet_device_list>();
        break;
    case kv::code_negotiate:
        handlers = {send_as<Usb_packet_negotiate>, receive_negotiate};
        break;
    case kv::code_queue_mdl_urb:
        handlers = both<Usb_packet_queue_mdl_urb>();
        break;
    default:
        break;
    }
    // Only the directions the code takes.
    const kv::Code_traits traits = kv::code_traits(code);
    return {traits.forwarded ? handlers.send : nullptr,
            traits.received ? handlers.receive : nullptr};
}
