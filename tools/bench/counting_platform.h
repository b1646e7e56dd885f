// The simulator's binding, counted on the request path: what it does inside a channel call or a
// driver's I/O control is its own, not the calling thread's (its locks, its drivers' work), and
// each call counts once as the system call it stands for.
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
    BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                           DWORD out_size, DWORD* returned, OVERLAPPED* overlapped) override
    {
        Seam_scope scope(call_device_io_control);
        return Sim_platform::device_io_control(device, code, in, in_size, out, out_size, returned,
                                               overlapped);
    }
};
