// The simulated thin-client terminal: lists its devices and answers every request on the
// terminal's end of the channel pipe.
#pragma once

#include "sim_transcript.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Sim_device
{
    uint32_t id;
    uint16_t vendor, product, release;
    std::string name;
    std::string serial;
    bool named = true;       // false: the record has no name
    uint8_t open_status = 0; // its open reply's status: nonzero when the client cannot open it
};

class Sim_terminal
{
  public:
    ~Sim_terminal();
    // Serves the pipe end until it breaks, which the engine's stop brings about.
    void start(HANDLE terminal_end);
    void stop(); // after the engine stopped

    void add_device(const Sim_device& device);
    void remove_device(uint32_t id);
    std::vector<Sim_device> devices();
    // The device-list reply for the devices listed now.
    std::vector<uint8_t> device_list_reply();
    // Writes a frame of its own between the answers.
    bool inject(const std::vector<uint8_t>& frame);
    // The next frame of at least 64 KiB is read halfway, then on_cut breaks the channel.
    std::atomic<bool> cut_next_large_frame{false};
    std::function<void()> on_cut;
    Sim_transcript* transcript = nullptr; // told the code of each frame sent

    std::atomic<uint64_t> frames_in{0}, bytes_in{0};
    std::atomic<uint64_t> out_data_errors{0};
    std::atomic<uint64_t> open_requests{0};

  private:
    void serve();
    bool answer(const std::vector<uint8_t>& frame);
    bool send(const std::vector<uint8_t>& frame);

    HANDLE m_end = INVALID_HANDLE_VALUE;
    std::thread m_thread;
    std::mutex m_mutex;
    std::mutex m_write_mutex;
    std::vector<Sim_device> m_devices;
    std::vector<uint8_t> m_reply; // the serving thread's
};

// Reads exactly size bytes from a pipe end, blocking; false when the pipe breaks first.
bool g_pipe_read_exact(HANDLE end, uint8_t* data, size_t size);
