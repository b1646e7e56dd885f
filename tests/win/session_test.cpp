// A whole session of the engine against the simulated terminal and port driver: every
// request the port driver issues gets exactly one completion with the right bytes.
#include "sim_session.h"

#include <gtest/gtest.h>

namespace
{

TEST(Session_test, EveryRequestIsCompletedOnceWithTheRightBytes)
{
    Sim_session session;
    session.print = [](const std::string&) {};
    session.terminal.add_device({0x11, 0x1111, 0x2222, 0x0100, "Stick", "S-1"});
    session.terminal.add_device({0x12, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
    ASSERT_TRUE(session.start());
    for (uint8_t code : {2, 3, 4, 5, 6, 9})
        session.platform.submit_status_request(code, 0x11);
    session.platform.submit_cancel(0x11, 12345);
    for (Sim_transfer kind : {Sim_transfer::plain_in, Sim_transfer::plain_out, Sim_transfer::mdl_in,
                              Sim_transfer::mdl_out})
        for (uint32_t size : {0u, 1u, 1599u, 1600u, 1601u, 4000u})
            session.run_transfers(kind, size % 2 ? 0x11 : 0x12, size, 3, 4);
    session.run_transfers(Sim_transfer::mdl_in, 0x11, 300000, 2, 2);
    session.run_transfers(Sim_transfer::mdl_out, 0x12, 300000, 2, 2);
    ASSERT_TRUE(session.platform.wait_idle(30000));
    ASSERT_TRUE(session.remove_device(0x12));
    session.stop();

    Sim_platform& p = session.platform;
    EXPECT_EQ(0u, p.outstanding());
    EXPECT_EQ(p.issued - 2, p.completed); // the cancel and the clear-halted get none
    EXPECT_EQ(0u, p.wrong_completions);
    EXPECT_EQ(0u, p.unexpected_completions);
    EXPECT_EQ(0u, session.terminal.out_data_errors.load());
    EXPECT_TRUE(p.plugged().empty());
    EXPECT_EQ(std::vector<uint32_t>({0x11, 0x12}), p.plug_order);
    EXPECT_EQ(0x12u, p.unplug_order.front());
    EXPECT_TRUE(p.events().empty());
}

} // namespace
