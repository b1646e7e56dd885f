#include "bench_limit.h"

#include "channel/server_channel.h"
#include "portable/frame.h"
#include "sim_terminal.h"

#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace
{

std::vector<BYTE> frame_of(bool out, uint32_t size)
{
    std::vector<BYTE> f(out ? kv::k_urb_header_size + size : kv::k_reap_header_size + size, 0x5A);
    kv::store_u32(f.data(), static_cast<uint32_t>(f.size() - 4));
    f[4] = out ? kv::code_queue_urb : kv::code_reap_urb;
    return f;
}

// The terminal's end: writes count copies of an IN frame, or reads count OUT frames (length,
// then body).
void terminal(HANDLE end, bool out, uint32_t count, const std::vector<BYTE>& frame)
{
    std::vector<BYTE> got(frame.size());
    DWORD put = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (out ? !g_pipe_read_exact(end, got.data(), got.size())
                : !WriteFile(end, frame.data(), static_cast<DWORD>(frame.size()), &put, nullptr))
            return;
}

// One frame read as the reply pump reads it.
bool read_frame(std::vector<BYTE>& frame)
{
    BYTE header[4];
    if (g_read_from_virtual_channel(header, 4) != 4)
        return false;
    const uint32_t length = kv::load_u32(header);
    frame.resize(4 + length);
    return g_read_from_virtual_channel(frame.data() + 4, length) == static_cast<int32_t>(length);
}

bool write_frame(const std::vector<BYTE>& frame, bool copy_first)
{
    if (!copy_first)
        return g_write_to_virtual_channel(frame.data(), static_cast<DWORD>(frame.size()));
    const std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[frame.size()]);
    if (copy)
        std::memcpy(copy.get(), frame.data(), frame.size());
    return copy && g_write_to_virtual_channel(copy.get(), static_cast<DWORD>(frame.size()));
}

} // namespace

Run g_limit(Sim_platform& pipes, bool out, bool copy_first, uint32_t size, uint32_t count)
{
    Run run;
    run.size = size;
    run.count = count;
    const std::vector<BYTE> frame = frame_of(out, size);
    const Thread_io_scope io;
    if (!g_virtual_channel.open())
    {
        run.right = false;
        return run;
    }
    std::thread far_end(terminal, pipes.terminal(), out, count, std::cref(frame));
    g_count_this_thread(Thread_group::limit);
    const Meter meter(Thread_group::limit);
    std::vector<BYTE> got;
    for (uint32_t i = 0; i < count && run.right; ++i)
        run.right = out ? write_frame(frame, copy_first) : read_frame(got);
    meter.end(&run);
    g_count_this_thread(Thread_group::none);
    if (!run.right)
        g_virtual_channel.close(); // the terminal's end fails rather than waits
    far_end.join();
    g_virtual_channel.close();
    return run;
}
