// Code 12: the protocol version request and the terminal's answer.
#pragma once

#include "usb_packet.h"

class Usb_packet_negotiate : public Usb_packet
{
  public:
    Usb_packet_negotiate(BYTE* pPacket, bool bOwnsPacket, uint32_t nVersion = 2)
        : Usb_packet(pPacket, bOwnsPacket), m_nVersion(nVersion)
    {
    }
    void process_return() override;

    uint32_t m_nVersion;
};

// Asks the application to end, as a failed negotiation must. The shell installs a close request
// to its window; before that, or without a window, WM_CLOSE goes to the calling thread.
using Application_ender = void (*)();
extern Application_ender g_end_application;
