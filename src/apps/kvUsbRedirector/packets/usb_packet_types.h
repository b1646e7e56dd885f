// One class per message code. Handlers whose behaviour lives elsewhere declare it here and
// define it in their own source file.
#pragma once

#include "usb_packet.h"
#include "usb_packet_close.h"
#include "usb_packet_device_list.h"
#include "usb_packet_negotiate.h"
#include "usb_packet_open.h"

// Requests for one device whose reply is a status reply (codes 2 to 6).
class Usb_packet_status_request : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;

  protected:
    // Hands the port driver the 27-byte status completion of the wrapped reply.
    void complete_status_request(BYTE code);
};

#define KV_STATUS_REQUEST_CLASS(name)                                                              \
    class name /* NOLINT(bugprone-macro-parentheses): a class name */                              \
        : public Usb_packet_status_request                                                         \
    {                                                                                              \
      public:                                                                                      \
        using Usb_packet_status_request::Usb_packet_status_request;                                \
        void process_return() override;                                                            \
    }

KV_STATUS_REQUEST_CLASS(Usb_packet_reset);
KV_STATUS_REQUEST_CLASS(Usb_packet_set_config);
KV_STATUS_REQUEST_CLASS(Usb_packet_claim_interface);
KV_STATUS_REQUEST_CLASS(Usb_packet_release_interface);
KV_STATUS_REQUEST_CLASS(Usb_packet_interface_setting);
#undef KV_STATUS_REQUEST_CLASS

class Usb_packet_queue_urb : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
};

class Usb_packet_queue_mdl_urb : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
};

class Usb_packet_reap_urb : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    bool process_param() override;
    void process_return() override;
};

class Usb_packet_clear_halted_ep : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    void process_return() override;
};

class Usb_packet_cancel_urb : public Usb_packet
{
  public:
    using Usb_packet::Usb_packet;
    void process_return() override;
};
