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

// Asks the port driver to unplug the device, after its audit event. The caller holds
// g_device_list_mutex.
void g_unplug_device(uint32_t device_id);
// Erases the entries marked, dropping their MDL records. The caller holds g_device_list_mutex.
void g_erase_marked_devices();
