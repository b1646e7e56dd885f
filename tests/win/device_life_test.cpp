// A device's life against a seeded random mix of what can happen to it, its rules checked after
// every step. KV_LIFE_STEPS and KV_LIFE_SEED run it longer or again (the soak does).
#include "support/fixtures.h"
#include "debug/usb_debug.h"
#include "packets/device_life.h"
#include "packets/device_policy.h"
#include "packets/mdl_urb_list.h"
#include "packets/usb_packet_types.h"
#include "shell/warning_popup.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

namespace
{

std::vector<Share_question> g_questions; // every question asked, answered or not

struct Entry_state
{
    S state;
    Share_answer answer;
    bool blocked;
    uint64_t ticket;
    bool operator==(const Entry_state&) const = default;
};

class Device_life_test : public Device_fixture
{
  protected:
    void SetUp() override
    {
        Device_fixture::SetUp();
        g_questions.clear();
        g_share_asker = [](uint32_t id, uint64_t ticket) { g_questions.push_back({id, ticket}); };
    }
    void TearDown() override
    {
        g_set_device_policy({});
        Device_fixture::TearDown();
    }
    void step();
    void check();
    std::map<uint32_t, Entry_state> states();

    std::mt19937 m_random;
    int pick(int n)
    {
        return std::uniform_int_distribution<int>(0, n - 1)(m_random);
    }
    BYTE m_mapped[4][4] = {};       // each device's MDL buffer
    std::vector<Bytes> m_in_flight; // reap replies of the MDL requests handed out
    uint32_t m_handle = 0;
    std::set<uint32_t> m_refused;     // their unplug was refused: the driver still has them
    std::map<uint32_t, int> m_shared; // events 17 less events 20, per device
    size_t m_audits_seen = 0;
    std::set<uint64_t> m_answered; // tickets
    std::string m_step;
};

Bytes device(uint32_t id, bool twin = false)
{
    return record({.id = twin ? id + 10 : id, .id1 = static_cast<uint16_t>(id)});
}

Device_policy policy(int which, uint32_t id)
{
    Device_policy p;
    kv::Device_rule rule;
    const std::u16string text =
        u"000" + std::u16string(1, static_cast<char16_t>(u'0' + id)) + u":5678";
    EXPECT_TRUE(kv::parse_device_rule(text, &rule));
    if (which == 1)
        p.deny = {rule}, p.deny_texts = {L"rule"};
    else if (which == 2)
        p.allow = {rule};
    else if (which == 3)
        p.share = Share_setting::never;
    return p;
}

std::map<uint32_t, Entry_state> Device_life_test::states()
{
    std::map<uint32_t, Entry_state> found;
    Lock_hold hold(g_device_list_mutex);
    for (const Usb_device_entry& e : g_device_list)
    {
        found[kv::record_device_id(g_record_bytes(e.record.get()))] = {e.state, e.answer, e.blocked,
                                                                       e.ticket};
        EXPECT_TRUE(e.state != S::opened || g_policy_refusal(e.record.get()).empty())
            << "plugged in though the policy refuses it";
    }
    return found;
}

void Device_life_test::step()
{
    const uint32_t id = 1 + pick(3);
    const uint64_t ended_before = sim.calls_ended_otherwise();
    const std::set<uint32_t> plugged_before = sim.plugged();
    // Each kind's share of the steps: a stop, which empties the list, and a policy, which blocks
    // most devices, are rare enough for a device to live through several replies.
    constexpr int k_kinds[20] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 4, 5, 5, 5, 6, 6, 6, 7};
    switch (k_kinds[pick(20)])
    {
    case 0: // a list: each device in it or not, now and then one of them under a second id
    {
        std::vector<Bytes> listed;
        for (uint32_t each = 1; each <= 3; ++each)
            if (pick(4))
                listed.push_back(device(each));
        if (!pick(8))
            listed.push_back(device(id, true));
        m_step = "list of " + std::to_string(listed.size());
        reconcile(listed);
        break;
    }
    case 1:
    {
        const BYTE status = pick(4) ? 0 : 5;
        m_step = "open reply " + std::to_string(id);
        g_is_server_os = pick(2);
        open_reply(id, status);
        break;
    }
    case 2: // an answer, to the last question or to any earlier one
    {
        if (g_questions.empty())
            return;
        const Share_question q =
            pick(2) ? g_questions.back() : g_questions[pick(g_questions.size())];
        const Share_reply reply = static_cast<Share_reply>(pick(4));
        m_step = "answer to " + std::to_string(q.device_id);
        const std::map<uint32_t, Entry_state> before = states();
        g_device_answer(q.device_id, q.ticket, reply);
        const auto was = before.find(q.device_id);
        // Answered once, a question is closed: a second answer to it changes nothing.
        if (was == before.end() || was->second.ticket != q.ticket ||
            !m_answered.insert(q.ticket).second)
        {
            EXPECT_EQ(before, states()) << "an answer touched an entry it did not ask about";
        }
        break;
    }
    case 3:
    {
        const int which = std::max(0, pick(6) - 2); // the default policy half the time
        m_step = "policy " + std::to_string(which) + " for " + std::to_string(id);
        g_set_device_policy(policy(which, id));
        g_apply_device_policy(); // as the poller does
        break;
    }
    case 4: // the port driver ends the next plug-in or unplug otherwise
    {
        const Sim_call call = pick(2) ? Sim_call::port_plug_in : Sim_call::port_unplug;
        const Sim_end end = std::array{Sim_end::fail_at_once, Sim_end::pend_then_done,
                                       Sim_end::pend_then_fail}[pick(3)];
        m_step = "driver ending";
        sim.end_calls({call, end, ERROR_GEN_FAILURE, Sim_driver::port, 0xFFFFFFFF, 1});
        return; // spent by the steps that follow
    }
    case 5: // an MDL IN request, yielded whether or not its device is plugged in
    {
        m_step = "MDL request of " + std::to_string(id);
        const uint32_t handle = ++m_handle;
        ASSERT_TRUE(sim.hand_request(mdl_request(handle, 4, m_mapped[id], 1, id)));
        m_in_flight.push_back(reap_reply(handle, 4, {1, 2, 3, 4}, id));
        break;
    }
    case 6: // its reap reply: copied and completed only while the device is plugged in
    {
        if (m_in_flight.empty())
            return;
        const size_t which = pick(m_in_flight.size());
        Bytes reply = m_in_flight[which];
        m_in_flight.erase(m_in_flight.begin() + which);
        const uint32_t devid = kv::load_u32(reply.data() + 5);
        m_step = "reap reply of " + std::to_string(devid);
        const uint64_t completions = sim.completed + sim.unexpected_completions;
        const bool plugged = states()[devid].state == S::opened;
        Usb_packet_reap_urb(reply.data(), false).process_return();
        if (!plugged)
        {
            EXPECT_EQ(Bytes(4, 0), Bytes(m_mapped[devid], m_mapped[devid] + 4)) << "copied";
            EXPECT_EQ(completions, sim.completed + sim.unexpected_completions) << "completed";
        }
        std::fill_n(m_mapped[devid], 4, 0);
        break;
    }
    default: // 7: a stop and the next start: plug-ins abandoned, the last empty list, resumed
        m_step = "stop";
        g_device_calls_stop_plug_ins();
        reconcile_empty();
        g_device_calls_resume();
        break;
    }
    g_terminal_drain(sim.terminal());
    // An unplug the driver refused leaves the device plugged in there, the entry gone all the same.
    if (sim.calls_ended_otherwise() != ended_before)
        for (uint32_t was : plugged_before)
            if (sim.plugged().count(was) && states()[was].state != S::opened)
                m_refused.insert(was);
    sim.end_calls_as_usual();
}

void Device_life_test::check()
{
    const std::map<uint32_t, Entry_state> now = states();
    std::set<uint32_t> opened = m_refused;
    for (const auto& [id, entry] : now)
        if (entry.state == S::opened)
            opened.insert(id);
    EXPECT_EQ(opened, sim.plugged()) << "plugged in at the driver if and only if opened";
    {
        Lock_hold hold(g_mdl_urb_list_mutex);
        for (const Mdl_urb_record& r : g_mdl_urb_list)
            EXPECT_EQ(S::opened, now.contains(r.devid) ? now.at(r.devid).state : S::marked)
                << "MDL record of a device not plugged in: " << r.devid;
    }
    const auto events = sim.events();
    for (; m_audits_seen < events.size(); ++m_audits_seen) // read once each
    {
        const auto& [type, event, text, user] = events[m_audits_seen];
        if (type != EVENTLOG_INFORMATION_TYPE)
            continue;
        const uint32_t id = std::stoul(text.substr(text.find(L"|Stick|") + 7));
        if (event == k_event_id_device_shared)
        {
            EXPECT_EQ(1, ++m_shared[id]) << "a second event 17 before its event 20: " << id;
        }
        else if (event == k_event_id_device_removed)
        {
            EXPECT_EQ(0, --m_shared[id]) << "an event 20 without its event 17: " << id;
        }
    }
    for (const auto& [id, shared] : m_shared)
        EXPECT_EQ(shared == 1, now.contains(id) && now.at(id).state == S::opened)
            << "events 17 and 20 of " << id;
    std::map<uint32_t, Entry_state> viewed;
    for (const Usb_device_view& v : g_device_views())
        viewed[static_cast<uint32_t>(v.id)] = {v.state, v.answer, v.blocked,
                                               now.contains(v.id) ? now.at(v.id).ticket : 0};
    EXPECT_EQ(now, viewed) << "views and list";
    for (uint32_t id : opened)
        if (now.contains(id) && now.at(id).state == S::opened)
            m_refused.erase(id);
}

TEST_F(Device_life_test, EveryMixOfEventsKeepsTheRulesOfADevicesLife)
{
    const char* seed_text = std::getenv("KV_LIFE_SEED");
    const char* steps_text = std::getenv("KV_LIFE_STEPS");
    const unsigned seed = seed_text ? std::strtoul(seed_text, nullptr, 10) : std::random_device{}();
    const int steps = steps_text ? std::atoi(steps_text) : 5000;
    m_random.seed(seed);
    for (int i = 0; i < steps && !HasFailure(); ++i)
    {
        step();
        check();
        if (i % 256 == 255) // the events read so far go, so that a long run stays linear
            sim.clear_lines(), m_audits_seen = 0;
        if (HasFailure())
            ADD_FAILURE() << "seed " << seed << ", step " << i << ": " << m_step;
    }
    EXPECT_FALSE(g_device_list_held_off_limits());
}

} // namespace
