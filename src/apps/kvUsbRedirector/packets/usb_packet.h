// Base of every message: wraps one message frame for one send or one receive.
#pragma once

#include "../platform/owned.h"

#include <windows.h>
#include <cstdint>

class Usb_packet
{
  public:
    Usb_packet(BYTE* pPacket, bool bOwnsPacket) : m_pPacket(pPacket), m_bOwnsPacket(bOwnsPacket) {}
    // Not virtual by design: objects are always destroyed through their own type.
    ~Usb_packet();
    Usb_packet(const Usb_packet&) = delete;
    Usb_packet& operator=(const Usb_packet&) = delete;

    virtual bool process_param();
    virtual void process_return();

    uint32_t get_body_size() const;
    bool write_packet_to_virtual_channel();

    BYTE* m_pPacket;
    bool m_bOwnsPacket;
};

// Message buffers are plain heap blocks; an owning packet releases its block with this.
BYTE* g_allocate_message(size_t size);
void g_free_message(BYTE* message);
// A message buffer released when it goes.
struct Message_closer
{
    using type = BYTE*;
    static BYTE* empty()
    {
        return nullptr;
    }
    static bool close(BYTE* message)
    {
        g_free_message(message);
        return true;
    }
};
using Owned_message = Owned<Message_closer>;
