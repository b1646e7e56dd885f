// The simulator's binding of the platform seam: a named-pipe virtual channel whose far end
// is the terminal's, a synchronous bus driver, the asynchronous port driver, and the event-log
// records captured. Every call ends as usual, or as told through end_calls().
#pragma once

#include "platform/platform.h"
#include "sim_port_driver.h"
#include "sim_transcript.h"

#include <cstdint>
#include <string>
#include <vector>

struct Fake_device
{
    std::wstring path;
    DWORD ui_number = 0;
    bool not_ready = false; // CreateFileW fails
};

class Sim_platform : public Platform, public Sim_port_driver
{
  public:
    ~Sim_platform() override;

    // Virtual channel.
    HANDLE terminal() const
    {
        return m_terminal;
    }
    // Closes the terminal's end, so the channel's next write fails.
    void disconnect_terminal();
    // Also fails the channel's pending operations, as a real channel does when its
    // session disconnects (a pipe does not fail a write already waiting for room).
    void break_channel();

    // Devices.
    std::vector<Fake_device> bus_devices;
    std::vector<Fake_device> port_devices;

    // Drivers: a bus device and a port device for this process's session.
    void add_drivers();

    // From now on the calls that match end so (the first matching ending applies).
    void end_calls(const Sim_ending& ending)
    {
        m_endings.add(ending);
    }
    void end_calls_as_usual()
    {
        m_endings.clear();
    }
    uint64_t calls_ended_otherwise()
    {
        return m_endings.applied();
    }
    // Operations of the drivers and the channel still pending.
    size_t pending_operations()
    {
        return m_io.pending();
    }

    // Platform.
    HANDLE virtual_channel_open(HANDLE, DWORD, LPSTR name) override;
    BOOL virtual_channel_query(HANDLE, WTS_VIRTUAL_CLASS, PVOID* buffer, DWORD* bytes) override;
    BOOL virtual_channel_close(HANDLE channel) override;
    void free_memory(PVOID memory) override;
    BOOL read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped) override;
    BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) override;
    BOOL cancel_io_ex(HANDLE file, OVERLAPPED* overlapped) override;
    bool query_session_text(WTS_INFO_CLASS what, wchar_t* text, DWORD capacity) override;
    HDEVINFO get_class_devs(const GUID* cls, DWORD flags) override;
    BOOL enum_device_interfaces(HDEVINFO set, const GUID*, DWORD index,
                                SP_DEVICE_INTERFACE_DATA* data) override;
    BOOL get_device_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                     DWORD* required, SP_DEVINFO_DATA* devinfo) override;
    BOOL get_device_registry_property(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property,
                                      DWORD* type, BYTE* buffer, DWORD size,
                                      DWORD* required) override;
    BOOL destroy_device_info_list(HDEVINFO set) override;
    HANDLE create_file(LPCWSTR path, DWORD, DWORD, DWORD, DWORD flags) override;
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override;
    BOOL cancel_io(HANDLE device) override;
    BOOL close_handle(HANDLE device) override;
    ULONG register_trace_guids(WMIDPREQUEST, PVOID, const GUID*, ULONG, TRACE_GUID_REGISTRATION*,
                               TRACEHANDLE* registration) override;
    ULONG unregister_trace_guids(TRACEHANDLE) override;
    ULONG trace_event(TRACEHANDLE logger, EVENT_TRACE_HEADER* record) override;
    TRACEHANDLE get_trace_logger_handle(PVOID buffer) override;
    UCHAR get_trace_enable_level(TRACEHANDLE logger) override;
    ULONG get_trace_enable_flags(TRACEHANDLE logger) override;
    HANDLE register_event_source(LPCWSTR, LPCWSTR source) override;
    BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                      LPCWSTR* strings) override;
    BOOL deregister_event_source(HANDLE) override;

    struct Event_record
    {
        WORD type;
        DWORD id;
        std::wstring text;
        std::wstring user; // the SID as a string, or empty
    };
    std::vector<Event_record> events();
    // Events kept, the oldest dropped first; a long run bounds them. The count goes on.
    size_t record_limit = SIZE_MAX;
    uint64_t events_reported = 0;
    // Told what the program says and sends, when set.
    Sim_transcript* transcript = nullptr;

  protected:
    static bool is_port(HANDLE device);
    static Sim_driver driver_of(HANDLE device);
    HANDLE port_handle_value() const;
    void clear_events();

  private:
    void close_channel_ends();
    BOOL channel_call(Sim_call call, HANDLE file, BYTE* buffer, DWORD size, OVERLAPPED* overlapped);

    Sim_endings m_endings;

    std::vector<Event_record> m_events;
    HANDLE m_server = INVALID_HANDLE_VALUE;
    HANDLE m_terminal = INVALID_HANDLE_VALUE;
    // Held over a channel call's start and over the break, so that no call starts on the pipe
    // between the break's check and its cancel, to wait there for ever.
    std::mutex m_channel_mutex;
    bool m_channel_broken = false;
};
