// Code 11: the device-list request and the terminal's list of devices.
#pragma once

#include "usb_packet.h"

#include <cstdint>

class Usb_packet_device_list : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    void process_return() override;
};
