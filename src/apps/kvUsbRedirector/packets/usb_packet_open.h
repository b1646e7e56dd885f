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

// Asks the user before a device is plugged in (a server edition, the question on); the answer,
// given with the question's ticket (g_device_answer), plugs it in later. Installed by the shell;
// while none is, such a device is not shared.
using Share_asker = void (*)(uint32_t device_id, uint64_t ticket);
extern Share_asker g_share_asker;
