// How the simulator ends the calls the engine makes on its peers, when told to end them other
// than as usual: every ending Windows allows for each call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

enum class Sim_call
{
    port_query,
    port_complete,
    port_plug_in,
    port_unplug,
    bus_register,
    bus_unregister,
    channel_open,
    channel_read,
    channel_write,
    class_devs,       // SetupDiGetClassDevs
    enum_interfaces,  // SetupDiEnumDeviceInterfaces
    interface_detail, // SetupDiGetDeviceInterfaceDetail, with the buffer
    ui_number,        // SetupDiGetDeviceRegistryProperty(SPDRP_UI_NUMBER)
    create_file
};

enum class Sim_end
{
    as_usual,
    done_at_once,   // a query with nothing to hand out yields an empty buffer
    fail_at_once,   // with error
    pend_then_done, // ends 20 ms later
    pend_then_fail, // with error, 20 ms later
    pend_until_cancel,
    more_data,  // a channel read: the bytes waiting, at most 7, and ERROR_MORE_DATA
    done_partly // a channel write: done at once, having taken at most 7 bytes
};

enum class Sim_driver
{
    any,
    bus,
    port
};

struct Sim_ending
{
    Sim_call call;
    Sim_end end;
    DWORD error = ERROR_GEN_FAILURE;
    Sim_driver driver = Sim_driver::any;
    uint32_t devid = 0xFFFFFFFF; // a plug-in or unplug of this device only; all by default
    uint32_t times = UINT32_MAX; // the calls it ends, then it is spent
};

constexpr DWORD k_sim_end_delay_ms = 20;

// The call of an I/O control code of either driver.
Sim_call g_sim_call_of(DWORD code);

class Sim_endings
{
  public:
    void add(const Sim_ending& ending);
    void clear();
    // The ending of this call: the first that matches, spent by one; as_usual when none.
    Sim_ending take(Sim_call call, Sim_driver driver, uint32_t devid = 0xFFFFFFFF);
    uint64_t applied(); // calls ended other than as usual

  private:
    std::mutex m_mutex;
    std::vector<Sim_ending> m_endings;
    uint64_t m_applied = 0;
};
