// The simulated port driver, a session's virtual USB host: it hands the engine USB requests
// through its pending query, takes completions, plug-ins and unplugs, ends each call as the
// I/O manager does (sim_io.h) or as told (sim_endings.h), and checks that every request it
// issued is completed exactly once with the right bytes.
#pragma once

#include "sim_endings.h"
#include "sim_io.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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

class Sim_port_driver
{
  public:
    // The request source; each returns at once.
    void submit_status_request(uint8_t code, uint32_t devid);
    void submit_transfer(Sim_transfer kind, uint32_t devid, uint32_t size);
    // Only while the device is plugged in, as a real port driver issues requests; false when not.
    bool submit_status_request_if_plugged(uint8_t code, uint32_t devid);
    bool submit_transfer_if_plugged(Sim_transfer kind, uint32_t devid, uint32_t size);
    // Releases what the driver keeps: the buffers of cancelled MDL transfers and the spare ones,
    // the plug-in and unplug orders and the devices a refused unplug left. Only while no engine
    // runs.
    void drop_history();

    // Bounded waits for the simulator's users (never used by the engine's code).
    bool wait_idle(DWORD timeout_ms);
    bool wait_outstanding_below(size_t count, DWORD timeout_ms);
    bool wait_plugged(size_t count, DWORD timeout_ms);
    bool wait_unplugged(uint32_t devid, DWORD timeout_ms);

    size_t outstanding();
    std::set<uint32_t> plugged();
    std::vector<uint32_t> plug_order, unplug_order;
    uint64_t issued = 0, completed = 0, wrong_completions = 0, unexpected_completions = 0;
    uint64_t bytes_in = 0, bytes_out = 0;
    uint64_t failed_completions = 0;  // failure status: the request could not be sent
    uint64_t cancelled_at_unplug = 0; // outstanding when their device was unplugged

  protected:
    BOOL port_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                         DWORD out_size, DWORD* returned, OVERLAPPED* overlapped,
                         const Sim_ending& ending);
    // Ends every pending query, its buffer as the engine left it.
    void end_pending_calls();
    // Drops the requests not yet completed and those not yet handed out.
    void forget_outstanding();
    // Waits (bounded) under m_mutex until done holds; m_changed wakes it.
    bool wait_until(DWORD timeout_ms, const std::function<bool()>& done);
    // Hands out a request; the caller holds m_mutex.
    void enqueue(std::vector<uint8_t> request);
    size_t pending_queries()
    {
        return m_io.pending(k_query);
    }

    // Guards everything here and the binding's own records.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Every call's pending operations; taken after m_mutex, never before.
    Sim_io m_io;
    enum Operation_tag
    {
        k_query,
        k_other
    };

  private:
    struct Expected
    {
        uint8_t code;
        Sim_transfer kind;
        uint32_t size;
        std::vector<uint8_t> buffer; // mapped buffer of an MDL transfer
    };
    // The effect of a call done now, or pending until a request comes; its count in *count.
    BOOL serve(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
               OVERLAPPED* overlapped, bool may_pend, DWORD* count);
    void submit_status_request_locked(uint8_t code, uint32_t devid);
    void submit_transfer_locked(Sim_transfer kind, uint32_t devid, uint32_t size);
    std::vector<uint8_t> take_buffer(size_t size);
    void keep_buffer(std::vector<uint8_t> buffer);
    void cancel_device(uint32_t devid);
    size_t outstanding_locked() const;
    void on_completion(const BYTE* data, DWORD size);

    std::deque<std::vector<uint8_t>> m_requests;
    std::map<uint64_t, std::deque<Expected>> m_expected; // by devid and handle (or code)
    std::set<uint32_t> m_plugged;
    // Buffers of cancelled MDL transfers stay mapped: a late reply may still be copied.
    std::vector<std::vector<uint8_t>> m_cancelled_buffers;
    std::vector<std::vector<uint8_t>> m_spare_buffers; // of finished transfers, for reuse
    uint32_t m_next_handle = 1;
};
