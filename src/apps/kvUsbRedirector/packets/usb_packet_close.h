// Code 1: the close message, which never leaves the program; sending it unplugs the device.
#pragma once

#include "usb_packet.h"

class Usb_packet_close : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    // Asks the port driver to unplug the device at offset 5; always true.
    bool process_param() override;
    // The same, abandoned (cancelled) when abort_event is set.
    bool process_param(HANDLE abort_event);
};
