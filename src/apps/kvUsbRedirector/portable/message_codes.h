// What each message code is: a port driver request forwarded to the terminal, a reply the
// terminal may send, and the reply a request gets when it cannot be sent.
#pragma once

#include "frame.h"

#include <iterator>

namespace kv
{

struct Code_traits
{
    bool forwarded;        // a request of the port driver's, sent on to the terminal
    bool received;         // the terminal may send it
    uint8_t failure_reply; // what an unsent request is answered with; 0: nothing
};

// Unknown codes have no trait.
constexpr Code_traits code_traits(uint8_t code)
{
    constexpr Code_traits k_table[] = {
        {false, true, 0},                     // 0 open
        {false, false, 0},                    // 1 close, sent by the engine itself
        {true, true, code_reset},             // 2 reset
        {true, true, code_set_config},        // 3 set configuration
        {true, true, code_claim_interface},   // 4 claim interface
        {true, true, code_release_interface}, // 5 release interface
        {true, true, code_interface_setting}, // 6 interface setting
        {true, false, code_reap_urb},         // 7 queue URB
        {false, true, 0},                     // 8 reap URB
        {true, true, code_clear_halted_ep},   // 9 clear halted endpoint
        {true, false, 0},                     // 10 cancel URB
        {false, true, 0},                     // 11 device list
        {false, true, 0},                     // 12 negotiate
        {false, false, 0},                    // 13
        {false, false, 0},                    // 14
        {true, false, code_reap_urb},         // 15 queue MDL URB
        {false, false, 0},                    // 16 MDL reap complete, for the port driver only
    };
    return code < std::size(k_table) ? k_table[code] : Code_traits{false, false, 0};
}

} // namespace kv
