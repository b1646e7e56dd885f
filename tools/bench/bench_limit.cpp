#include "bench_limit.h"

#include "portable/frame.h"
#include "sim_platform.h"
#include "sim_terminal.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

namespace
{

// The simulated channel's two pipe ends, made by the simulator's own binding.
class Bare_channel
{
  public:
    Bare_channel()
    {
        char name[] = "zelvusb";
        m_pipes.virtual_channel_open(nullptr, 0, name);
        PVOID block = nullptr;
        DWORD size = 0;
        if (m_pipes.virtual_channel_query(nullptr, WTSVirtualFileHandle, &block, &size))
        {
            m_server = *static_cast<HANDLE*>(block);
            m_pipes.free_memory(block);
        }
        m_exit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Bare_channel()
    {
        CloseHandle(m_exit);
    }
    HANDLE terminal() const
    {
        return m_pipes.terminal();
    }

    // The channel's refill: bytes read, 0 on failure. With skip_done_wait, a read that
    // completed at once is not waited for.
    DWORD read(BYTE* buffer, DWORD size, bool skip_done_wait = false)
    {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD got = 0;
        BOOL done = ReadFile(m_server, buffer, size, nullptr, &overlapped);
        if (done || GetLastError() == ERROR_IO_PENDING)
        {
            HANDLE objects[2] = {event, m_exit};
            const DWORD wait = done && skip_done_wait
                                   ? WAIT_OBJECT_0
                                   : WaitForMultipleObjects(2, objects, FALSE, INFINITE);
            if (wait != WAIT_OBJECT_0 || !GetOverlappedResult(m_server, &overlapped, &got, TRUE))
                got = 0;
        }
        CloseHandle(event);
        return got;
    }

    // The channel's write of one frame.
    bool write(const BYTE* data, DWORD size)
    {
        while (size != 0)
        {
            HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            OVERLAPPED overlapped{};
            overlapped.hEvent = event;
            DWORD put = 0;
            bool ok = (WriteFile(m_server, data, size, nullptr, &overlapped) ||
                       GetLastError() == ERROR_IO_PENDING) &&
                      GetOverlappedResult(m_server, &overlapped, &put, TRUE) && put != 0;
            CloseHandle(event);
            if (!ok)
                return false;
            data += put;
            size -= put;
        }
        return true;
    }

    // Reads one frame of size bytes that is on its way, with 1600-byte reads.
    bool read_frame(BYTE* buffer, size_t size)
    {
        for (size_t got = 0; got < size;)
        {
            DWORD n = read(buffer, 1600);
            if (n == 0)
                return false;
            got += n;
        }
        return true;
    }

    // Reads until bytes have arrived, read_size at a time.
    bool read_stream(uint64_t bytes, DWORD read_size, bool skip_done_wait)
    {
        std::vector<BYTE> buffer(read_size);
        while (bytes != 0)
        {
            DWORD got =
                read(buffer.data(), static_cast<DWORD>(std::min<uint64_t>(read_size, bytes)),
                     skip_done_wait);
            if (got == 0)
                return false;
            bytes -= got;
        }
        return true;
    }

  private:
    Sim_platform m_pipes;
    HANDLE m_server = INVALID_HANDLE_VALUE;
    HANDLE m_exit = nullptr;
};

// As the simulated terminal reads: the length field, then the body.
bool terminal_read_frame(HANDLE end, std::vector<BYTE>& frame)
{
    BYTE header[4];
    if (!g_pipe_read_exact(end, header, 4))
        return false;
    frame.resize(4 + kv::load_u32(header));
    return g_pipe_read_exact(end, frame.data() + 4, frame.size() - 4);
}

bool terminal_write(HANDLE end, const std::vector<BYTE>& frame)
{
    DWORD put = 0;
    return WriteFile(end, frame.data(), static_cast<DWORD>(frame.size()), &put, nullptr) &&
           put == frame.size();
}

std::vector<BYTE> frame_of(uint8_t code, size_t size)
{
    std::vector<BYTE> f(size, 0x5A);
    kv::store_u32(f.data(), static_cast<uint32_t>(size - 4));
    f[4] = code;
    return f;
}

// The frames of one transfer: the request (with the data when out) and the reply.
std::vector<BYTE> request_of(bool out, uint32_t data_size)
{
    return frame_of(kv::code_queue_urb, kv::k_urb_header_size + (out ? data_size : 0));
}

std::vector<BYTE> reply_of(bool out, uint32_t data_size)
{
    return frame_of(kv::code_reap_urb, kv::k_reap_header_size + (out ? 0 : data_size));
}

// Measures the calling thread as the program's end while run_it runs.
template <class Run> void measure(Limit_run* run, Run run_it)
{
    const DWORD me = GetCurrentThreadId();
    g_count_thread(me, Thread_group::limit, nullptr);
    const Call_counts calls = g_counted_calls(Thread_group::limit);
    const double cpu = g_thread_cpu_ms(GetCurrentThread());
    const double server = g_wineserver_cpu_ms();
    const double begin = g_now_seconds();
    run_it();
    run->seconds = g_now_seconds() - begin;
    run->server_ms = server < 0 ? -1 : g_wineserver_cpu_ms() - server;
    run->cpu_ms = g_thread_cpu_ms(GetCurrentThread()) - cpu;
    run->calls = g_counted_calls(Thread_group::limit) - calls;
    g_stop_counting_thread(me);
}

double microseconds(double seconds)
{
    return seconds * 1e6;
}

} // namespace

Limit_run g_limit_in(uint32_t data_size, uint32_t count, uint32_t read_size, bool skip_done_wait)
{
    Bare_channel channel;
    const std::vector<BYTE> reply = reply_of(false, data_size);
    Limit_run run;
    run.count = count;
    run.data_bytes = static_cast<uint64_t>(data_size) * count;
    measure(&run,
            [&]
            {
                std::thread terminal(
                    [&]
                    {
                        for (uint32_t i = 0; i < count; ++i)
                            if (!terminal_write(channel.terminal(), reply))
                                return;
                    });
                channel.read_stream(static_cast<uint64_t>(reply.size()) * count, read_size,
                                    skip_done_wait);
                terminal.join();
            });
    return run;
}

Limit_run g_limit_out(uint32_t data_size, uint32_t count, bool copy_first)
{
    Bare_channel channel;
    const std::vector<BYTE> request = request_of(true, data_size);
    Limit_run run;
    run.count = count;
    run.data_bytes = static_cast<uint64_t>(data_size) * count;
    measure(&run,
            [&]
            {
                std::thread terminal(
                    [&]
                    {
                        std::vector<BYTE> frame;
                        for (uint32_t i = 0; i < count; ++i)
                            if (!terminal_read_frame(channel.terminal(), frame))
                                return;
                    });
                for (uint32_t i = 0; i < count; ++i)
                {
                    if (!copy_first)
                    {
                        channel.write(request.data(), static_cast<DWORD>(request.size()));
                        continue;
                    }
                    BYTE* message = new (std::nothrow) BYTE[request.size()];
                    if (!message)
                        break;
                    std::memcpy(message, request.data(), request.size());
                    channel.write(message, static_cast<DWORD>(request.size()));
                    delete[] message;
                }
                terminal.join();
            });
    return run;
}

std::vector<double> g_ping_pong(bool out, uint32_t data_size, uint32_t rounds, Limit_run* run)
{
    Bare_channel channel;
    const std::vector<BYTE> request = request_of(out, data_size);
    const std::vector<BYTE> reply = reply_of(out, data_size);
    std::vector<double> trips;
    trips.reserve(rounds);
    std::thread terminal(
        [&]
        {
            std::vector<BYTE> frame;
            for (uint32_t i = 0; i < rounds; ++i)
                if (!terminal_read_frame(channel.terminal(), frame) ||
                    !terminal_write(channel.terminal(), reply))
                    return;
        });
    std::vector<BYTE> buffer(1600);
    run->count = rounds;
    measure(run,
            [&]
            {
                for (uint32_t i = 0; i < rounds; ++i)
                {
                    const double begin = g_now_seconds();
                    channel.write(request.data(), static_cast<DWORD>(request.size()));
                    if (!channel.read_frame(buffer.data(), reply.size()))
                        return;
                    trips.push_back(microseconds(g_now_seconds() - begin));
                }
            });
    terminal.join();
    return trips;
}

std::vector<double> g_relay_ping_pong(bool out, uint32_t data_size, uint32_t rounds)
{
    Bare_channel channel;
    const std::vector<BYTE> request = request_of(out, data_size);
    const std::vector<BYTE> reply = reply_of(out, data_size);
    HANDLE asked = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE answered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread terminal(
        [&]
        {
            std::vector<BYTE> frame;
            for (uint32_t i = 0; i < rounds; ++i)
                if (!terminal_read_frame(channel.terminal(), frame) ||
                    !terminal_write(channel.terminal(), reply))
                    return;
        });
    std::thread writer(
        [&]
        {
            for (uint32_t i = 0; i < rounds; ++i)
            {
                WaitForSingleObject(asked, INFINITE);
                channel.write(request.data(), static_cast<DWORD>(request.size()));
            }
        });
    std::thread reader(
        [&]
        {
            std::vector<BYTE> buffer(1600);
            for (uint32_t i = 0; i < rounds; ++i)
            {
                if (!channel.read_frame(buffer.data(), reply.size()))
                    return;
                SetEvent(answered);
            }
        });
    std::vector<double> trips;
    trips.reserve(rounds);
    for (uint32_t i = 0; i < rounds; ++i)
    {
        const double begin = g_now_seconds();
        SetEvent(asked);
        WaitForSingleObject(answered, INFINITE);
        trips.push_back(microseconds(g_now_seconds() - begin));
    }
    writer.join();
    reader.join();
    terminal.join();
    CloseHandle(asked);
    CloseHandle(answered);
    return trips;
}

double g_server_call_us()
{
    constexpr int k_pairs = 2000;
    const double begin = g_now_seconds();
    for (int i = 0; i < k_pairs; ++i)
        CloseHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return microseconds(g_now_seconds() - begin) / (2 * k_pairs);
}

double g_virtual_query_us()
{
    constexpr int k_calls = 20000;
    static BYTE buffer[1600];
    MEMORY_BASIC_INFORMATION info;
    const double begin = g_now_seconds();
    for (int i = 0; i < k_calls; ++i)
        VirtualQuery(buffer, &info, sizeof info);
    return microseconds(g_now_seconds() - begin) / k_calls;
}
