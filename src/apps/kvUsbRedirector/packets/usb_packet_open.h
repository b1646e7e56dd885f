// Code 0: the open request to the terminal and its status reply, which plugs the device in.
#pragma once

#include "usb_packet.h"

#include <cstdint>

class Usb_packet_open : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    void process_return() override;
};

// Sets the device's entry to opened and asks the port driver to plug it in; on failure the
// entry becomes failed. Takes g_device_list_mutex for the whole request. False when no entry
// has the id.
bool g_plug_in_device(uint32_t device_id);

// Asks the user before a device is plugged in (a server edition, the question on), so that the
// answer plugs it in later. Installed by the shell; while none is, such a device is not shared.
using Share_asker = void (*)(uint32_t device_id);
extern Share_asker g_share_asker;
