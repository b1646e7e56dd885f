// A whole redirected session against the simulated terminal and port driver.
#pragma once

#include "sim_platform.h"
#include "sim_terminal.h"

#include <cstdio>
#include <functional>
#include <string>

struct Sim_phase_result
{
    Sim_transfer kind;
    uint32_t size;
    uint32_t count;
    double seconds;
    uint64_t bytes;
};

// What a session does, on a binding that its owner keeps.
class Sim_session_base
{
  public:
    ~Sim_session_base();

    // Starts the engine and waits until the terminal's devices are plugged in.
    bool start(DWORD timeout_ms = 30000);
    // Runs count transfers of one kind and size with at most window in flight.
    Sim_phase_result run_transfers(Sim_transfer kind, uint32_t devid, uint32_t size, uint32_t count,
                                   uint32_t window);
    bool remove_device(uint32_t devid, DWORD timeout_ms = 30000);
    void stop();

    Sim_terminal terminal;
    std::function<void(const std::string&)> print = [](const std::string& line)
    {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };

  protected:
    explicit Sim_session_base(Sim_platform& platform);

  private:
    Sim_platform& m_platform;
    bool m_running = false;
};

template <class Binding> struct Sim_binding_holder
{
    Binding platform;
};

// A session owning its binding, the simulator's or an extension of it; the binding is made
// first and goes last.
template <class Binding>
class Sim_session_of : public Sim_binding_holder<Binding>, public Sim_session_base
{
  public:
    Sim_session_of() : Sim_session_base(this->platform) {}
};

using Sim_session = Sim_session_of<Sim_platform>;

const char* g_sim_kind_name(Sim_transfer kind);
// Handles open in this process. Wine's GetProcessHandleCount reports 0: then they are counted
// by probing.
DWORD g_sim_open_handles();
std::string g_sim_size_name(uint32_t size);
