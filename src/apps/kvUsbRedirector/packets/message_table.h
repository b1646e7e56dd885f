// The class that handles each message code, for both pumps: the request pump sends the port
// driver's requests through it and answers the unsent ones through it; the reply pump hands it
// the terminal's replies. Which codes go which way is kv::code_traits (portable/).
#pragma once

#include <windows.h>

#include <cstdint>

struct Message_handlers
{
    bool (*send)(BYTE* request);                   // nullptr: not a request that is forwarded
    void (*receive)(BYTE* reply, uint32_t length); // nullptr: not a reply that is handled
};

Message_handlers g_message_handlers(uint8_t code);
