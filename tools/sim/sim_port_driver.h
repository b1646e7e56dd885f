// The simulated port driver: hands the engine USB requests through its pending query, takes
// completions, plug-ins and unplugs, and checks that every request is completed exactly once
// with the right bytes. The rest of the seam is the test binding.
#pragma once

#include "fakes/fake_platform.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

enum class Sim_transfer
{
    plain_in,
    plain_out,
    mdl_in,
    mdl_out
};

class Sim_platform : public Fake_platform
{
  public:
    Sim_platform();

    // Queues requests for the engine's query; each returns at once.
    void submit_status_request(uint8_t code, uint32_t devid);
    void submit_transfer(Sim_transfer kind, uint32_t devid, uint32_t size);
    void submit_cancel(uint32_t devid, uint32_t handle);

    // Bounded waits for the simulator's driver (never used by the engine's code).
    bool wait_idle(DWORD timeout_ms);
    bool wait_outstanding_below(size_t count, DWORD timeout_ms);
    bool wait_plugged(size_t count, DWORD timeout_ms);
    bool wait_unplugged(uint32_t devid, DWORD timeout_ms);

    size_t outstanding();
    // Drops the requests whose completions the driver refused.
    void forget_outstanding();
    std::set<uint32_t> plugged();
    std::vector<uint32_t> plug_order, unplug_order;
    uint64_t issued = 0, completed = 0, wrong_completions = 0, unexpected_completions = 0;
    uint64_t bytes_in = 0, bytes_out = 0;
    uint64_t completions_for_unplugged = 0;
    std::atomic<bool> completions_fail{false}; // the completion I/O control fails
    uint64_t refused_completions = 0;
    uint64_t failed_completions = 0;  // failure status: the request could not be sent
    uint64_t cancelled_at_unplug = 0; // outstanding when their device was unplugged

    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override;
    BOOL cancel_io(HANDLE device) override;

  private:
    struct Expected
    {
        uint8_t code;
        Sim_transfer kind;
        uint32_t size;
        std::vector<uint8_t> buffer; // mapped buffer of an MDL transfer
    };
    struct Query
    {
        OVERLAPPED* overlapped;
        BYTE* buffer;
        DWORD size;
        DWORD thread;
    };
    void enqueue(std::vector<uint8_t> request);
    void cancel_device(uint32_t devid);
    size_t outstanding_locked() const;
    void on_completion(const BYTE* data, DWORD size);
    bool wait_until(DWORD timeout_ms, const std::function<bool()>& done);

    std::mutex m_sim_mutex;
    std::condition_variable m_sim_changed;
    std::deque<std::vector<uint8_t>> m_requests;
    std::vector<Query> m_queries;
    std::map<uint64_t, std::deque<Expected>> m_expected; // by devid and handle (or code)
    std::set<uint32_t> m_plugged;
    // Buffers of cancelled MDL transfers stay mapped: a late reply may still be copied.
    std::vector<std::vector<uint8_t>> m_cancelled_buffers;
    uint32_t m_next_handle = 1;
};
