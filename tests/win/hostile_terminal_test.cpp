// A terminal that sends garbage between its answers: short, unknown and stray replies and
// floods of device lists. The engine drops or relays each as it should, and the traffic that
// flows meanwhile still gets every completion right.
#include "support/watchdog.h"
#include "portable/frame.h"
#include "sim_session.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes frame_of(uint8_t code, const Bytes& body)
{
    Bytes f(5 + body.size());
    kv::store_u32(f.data(), static_cast<uint32_t>(1 + body.size()));
    f[4] = code;
    for (size_t i = 0; i < body.size(); ++i)
        f[5 + i] = body[i];
    return f;
}

struct Injected
{
    size_t unknown = 0, short_replies = 0, stray_completions = 0, frames = 0;
};

class Hostile_sender
{
  public:
    Hostile_sender(Sim_terminal& terminal, uint32_t real_devid)
        : m_terminal(terminal), m_real_devid(real_devid)
    {
    }

    Injected run(size_t count)
    {
        for (size_t i = 0; i < count; ++i)
        {
            Bytes body(m_random() % 40);
            for (uint8_t& b : body)
                b = static_cast<uint8_t>(m_random());
            if (!m_terminal.inject(hostile(i, body)))
                break;
            ++m_injected.frames;
        }
        return m_injected;
    }

  private:
    uint32_t next(uint32_t bound)
    {
        return m_random() % bound;
    }

    Bytes hostile(size_t i, Bytes body)
    {
        switch (i % 6)
        {
        case 0:
        { // a code no handler takes
            uint8_t code;
            do
                code = static_cast<uint8_t>(kv::code_negotiate + 1 + next(243));
            while (code == kv::code_queue_mdl_urb || code == kv::code_mdl_reap_complete);
            ++m_injected.unknown;
            return frame_of(code, body);
        }
        case 1: // status reply cut before its device id ends
            ++m_injected.short_replies;
            body.resize(next(5));
            return frame_of(static_cast<uint8_t>(kv::code_reset + next(5)), body);
        case 2: // reap reply cut inside its header
            ++m_injected.short_replies;
            body.resize(next(14));
            return frame_of(kv::code_reap_urb, body);
        case 3:
        { // status or open reply for a device nobody has
            uint8_t code = static_cast<uint8_t>(next(6)); // open or a status code
            if (code == kv::code_close)
                code = kv::code_open;
            body.resize(5 + next(20));
            body[0] = static_cast<uint8_t>(next(3));
            kv::store_u32(body.data() + 1, 0xBAD00000u + static_cast<uint32_t>(i));
            if (code >= kv::code_reset)
                ++m_injected.stray_completions;
            return frame_of(code, body);
        }
        case 4:
        { // reap reply for a handle never issued, its length field often wrong
            body.resize(14 + next(100));
            kv::store_u32(body.data(), m_real_devid);
            body[4] = 0;
            body[5] = 0;
            kv::store_u32(body.data() + 6, 0xF0000000u + static_cast<uint32_t>(i));
            kv::store_u32(body.data() + 10, next(2) ? next(1u << 31) : uint32_t(body.size() - 14));
            ++m_injected.stray_completions;
            return frame_of(kv::code_reap_urb, body);
        }
        default:
        { // the real list, then a record running past the payload instead of the end
            Bytes list = m_terminal.device_list_reply();
            list.resize(list.size() - 2);
            Bytes tail = {0xFF, 0xFF};
            tail.insert(tail.end(), body.begin(), body.end());
            list.insert(list.end(), tail.begin(), tail.end());
            kv::store_u32(list.data(), static_cast<uint32_t>(list.size() - 4));
            return list;
        }
        }
    }

    Sim_terminal& m_terminal;
    uint32_t m_real_devid;
    std::mt19937 m_random{20261206};
    Injected m_injected;
};

size_t count_events(Sim_platform& platform, const std::wstring& text)
{
    size_t n = 0;
    for (const auto& e : platform.events())
        n += e.text.find(text) != std::wstring::npos;
    return n;
}

TEST(Hostile_terminal_test, GarbageBetweenAnswersNeverCostsACompletion)
{
    Watchdog watchdog(120000);
    Sim_session session;
    session.print = [](const std::string&) {};
    session.terminal.add_device({0x21, 0x1111, 0x2222, 0x0100, "Stick", "S-1"});
    session.terminal.add_device({0x22, 0x3333, 0x4444, 0x0200, "Reader", "R-1"});
    ASSERT_TRUE(session.start());

    Injected injected;
    std::thread sender([&] { injected = Hostile_sender(session.terminal, 0x21).run(3000); });
    for (int round = 0; round < 4; ++round)
        for (Sim_transfer kind : {Sim_transfer::plain_in, Sim_transfer::plain_out,
                                  Sim_transfer::mdl_in, Sim_transfer::mdl_out})
            session.run_transfers(kind, round % 2 ? 0x21 : 0x22, 700 + 900 * round, 25, 8);
    sender.join();
    ASSERT_TRUE(session.platform.wait_idle(30000));
    watchdog.step(1);
    Sim_platform& p = session.platform;
    // The reply pump runs the stray frames in order; the last ones may still be on their way.
    for (int i = 0; i < 200 && p.unexpected_completions < injected.stray_completions; ++i)
        Sleep(10);
    EXPECT_EQ(3000u, injected.frames);
    EXPECT_EQ(std::set<uint32_t>({0x21, 0x22}), p.plugged());
    session.stop();

    EXPECT_EQ(400u, p.completed);
    EXPECT_EQ(0u, p.outstanding());
    EXPECT_EQ(0u, p.wrong_completions);
    EXPECT_EQ(0u, p.failed_completions);
    EXPECT_EQ(0u, session.terminal.out_data_errors.load());
    // Stray status and reap replies are relayed unchanged: the port driver judges them.
    EXPECT_EQ(injected.stray_completions, p.unexpected_completions);
    EXPECT_EQ(injected.short_replies, count_events(p, L"reply too short, dropped"));
    EXPECT_EQ(injected.unknown,
              count_events(p, L"Usb_manager::g_start_process_write_to_driver() - Unknown packet"));
    EXPECT_EQ(std::vector<uint32_t>({0x21, 0x22}), p.plug_order);
}

} // namespace
