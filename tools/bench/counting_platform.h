// The simulator's binding, counted: what it does on a counted thread is its own, not the
// thread's (its locks, its drivers' work), and each call counts once as the system call it
// stands for.
#pragma once

#include "bench_meter.h"
#include "sim_platform.h"

class Counting_platform : public Sim_platform
{
  public:
    BOOL read_file(HANDLE file, LPVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_read_file);
        return Sim_platform::read_file(file, buffer, size, overlapped);
    }
    BOOL write_file(HANDLE file, LPCVOID buffer, DWORD size, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_write_file);
        return Sim_platform::write_file(file, buffer, size, overlapped);
    }
    BOOL cancel_io_ex(HANDLE file, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_cancel_io);
        return Sim_platform::cancel_io_ex(file, overlapped);
    }
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_device_io_control);
        return Sim_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                               overlapped);
    }
    BOOL cancel_io(HANDLE device) override
    {
        Seam_scope scope(call_cancel_io);
        return Sim_platform::cancel_io(device);
    }
    BOOL close_handle(HANDLE device) override
    {
        Seam_scope scope(call_close_handle);
        return Sim_platform::close_handle(device);
    }
    BOOL report_event(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                      LPCWSTR* strings) override
    {
        Seam_scope scope(k_counted_calls);
        return Sim_platform::report_event(source, type, category, id, user, count, strings);
    }
};
