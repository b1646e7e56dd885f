#include "server_channel.h"

#include "../debug/usb_debug.h"
#include "../platform/overlapped_call.h"
#include "../platform/platform.h"
#include "../platform/guarded_copy.h"
#include "../platform/seams.h"

#include <cstring>

ServerChannel g_virtual_channel;
Process_lock g_virtual_channel_mutex;
HANDLE g_exit_now_virtual_channel_event = INVALID_HANDLE_VALUE;
volatile DWORD g_session_id = 0xFFFFFFFF;

namespace
{

char g_channel_name[] = "zelvusb";

unsigned low32(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

} // namespace

ServerChannel::ServerChannel()
    : m_hChannel(nullptr), m_hFile(nullptr), m_bufferOut{}, m_nOutAmount(0), m_bufferIn{},
      m_nInAmount(0), m_nInPlace(0)
{
    g_log(4, L"ServerChannel::ServerChannel (enter/exit)");
}

ServerChannel::~ServerChannel()
{
    g_log(4, L"ServerChannel::~ServerChannel (enter/exit)");
    close();
}

bool ServerChannel::open()
{
    g_log(4, L"ServerChannel::open (enter)");
    m_hChannel = g_platform().virtual_channel_open(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                   g_channel_name);
    m_missing = false;
    if (!m_hChannel)
    {
        // The session's client does not offer the channel: not a failure of this program.
        const DWORD error = GetLastError();
        m_missing = error == ERROR_FILE_NOT_FOUND;
        g_log(m_missing ? 4 : 2, L"ServerChannel::open (WTSVirtualChannelOpen failed - error:%d)",
              error);
        return false;
    }
    PVOID buffer = nullptr;
    DWORD length = 0;
    if (!g_platform().virtual_channel_query(m_hChannel, WTSVirtualFileHandle, &buffer, &length))
    {
        g_log(2, L"ServerChannel::open (WTSVirtualChannelQuery failed - error:%d", GetLastError());
        return false;
    }
    int error = ERANGE;
    // A buffer shorter than a handle is refused like a failing copy.
    Copy_status copied = length >= sizeof(m_hFile) ? g_guarded_copy(&m_hFile, sizeof(m_hFile),
                                                                    buffer, sizeof(m_hFile), &error)
                                                   : Copy_status::failed;
    g_platform().free_memory(buffer);
    if (copied == Copy_status::faulted)
    {
        g_log(2, L"ServerChannel::open (memcpy_s threw an exception - error:%d)", GetLastError());
        return false;
    }
    if (copied == Copy_status::failed)
    {
        g_log(2, L"ServerChannel::open (memcpy_s failed - error:%d)", error);
        return false;
    }
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
    {
        g_log(2, L"ServerChannel::open (ProcessIdToSessionId failed - error:%d", GetLastError());
        return false;
    }
    m_exit_event.reset(g_seams.create_event());
    if (!m_exit_event)
    {
        g_log(2,
              L"ServerChannel::open (g_exit_now_virtual_channel_event CreateEvent() failed - "
              L"error:%d)",
              GetLastError());
        return false;
    }
    g_exit_now_virtual_channel_event = m_exit_event.get();
    g_session_id = session;
    {
        Lock_hold hold(g_virtual_channel_mutex);
        m_nOutAmount = 0;
    }
    m_nInAmount = 0;
    m_nInPlace = 0;
    g_log(4, L"ServerChannel::open (exit)");
    return true;
}

void ServerChannel::close()
{
    g_log(4, L"ServerChannel::close (enter)");
    g_exit_now_virtual_channel_event = INVALID_HANDLE_VALUE;
    m_exit_event.reset();
    if (m_hChannel)
    {
        g_log(4, L"ServerChannel::close (closing virtual channel)");
        if (g_platform().virtual_channel_close(m_hChannel))
            m_hChannel = nullptr;
        else
            g_log(3, L"ServerChannel::close (WTSVirtualChannelClose failed - error:%d",
                  GetLastError());
    }
    g_log(4, L"ServerChannel::close (exit)");
}

// One overlapped read into m_bufferIn: 1 when it delivered, 0 when the exit event ended the
// wait, -1 on failure.
int32_t ServerChannel::refill()
{
    DWORD got = 0;
    switch (g_overlapped_call({Io_kind::read, m_hFile, 0, nullptr, 0, m_bufferIn, k_channel_chunk},
                              g_exit_now_virtual_channel_event, &got))
    {
    case Io_result::done:
        g_log(4, L"ServerChannel::read (WAIT_OBJECT_0 + 0)");
        m_nInAmount = got;
        m_nInPlace = 0;
        g_log(4, L"ServerChannel::read (exiting if - m_nInAmount:%d", m_nInAmount);
        return 1;
    case Io_result::aborted:
        // Bytes the cancelled read may have delivered meanwhile are dropped with the stop.
        g_log(4, L"ServerChannel::read (WAIT_OBJECT_0 + 1)");
        return 0;
    case Io_result::no_event:
        g_log(2, L"ServerChannel::read (CreateEvent failed - error:%d)", GetLastError());
        return -1;
    case Io_result::start_failed:
        g_log(2, L"ServerChannel::read (ReadFile failed - error:%d)", GetLastError());
        return -1;
    case Io_result::result_failed:
        g_log(2, L"ServerChannel::read (GetOverlappedResult failed - error:%d", GetLastError());
        return -1;
    case Io_result::wait_failed:
        break;
    }
    // The last error is the wait's own return value.
    g_log(2, L"ServerChannel::read (WaitForMultipleObjects failed - error:%d", GetLastError());
    return -1;
}

// Writes count bytes in one operation. A write that took nothing fails with ERROR_WRITE_FAULT,
// as it would loop for ever.
Io_result ServerChannel::write_once(const BYTE* bytes, DWORD count, DWORD* written)
{
    const Io_result result =
        g_overlapped_call({Io_kind::write, m_hFile, 0, bytes, count}, nullptr, written);
    if (result != Io_result::done || (*written != 0 && *written <= count))
        return result;
    SetLastError(ERROR_WRITE_FAULT);
    return Io_result::result_failed;
}

int32_t ServerChannel::read(BYTE* pBuf, DWORD nBytes)
{
    g_log(4, L"ServerChannel::read (enter - pBuf:%x, nBytes:%d)", low32(pBuf), nBytes);
    DWORD nGot = 0;
    while (nGot < nBytes)
    {
        g_log(4, L"ServerChannel::read (entered while loop - nGot:%x, nBytes:%d, m_nInAmount:%d)",
              nGot, nBytes, m_nInAmount);
        if (m_nInAmount == 0)
        {
            int32_t refilled = refill();
            if (refilled <= 0)
                return refilled;
        }
        DWORD nAlreadyGot = nBytes - nGot < m_nInAmount ? nBytes - nGot : m_nInAmount;
        int error = 0;
        Copy_status copied = g_guarded_copy_own(pBuf + nGot, nAlreadyGot, m_bufferIn + m_nInPlace,
                                                nAlreadyGot, &error);
        if (copied == Copy_status::faulted)
        {
            g_log(2, L"ServerChannel::read (memcpy_s threw an exception - error:%d)",
                  GetLastError());
            return -1;
        }
        if (copied == Copy_status::failed)
        {
            g_log(2, L"ServerChannel::read (memcpy_s failed - error:%d)", error);
            return -1;
        }
        m_nInPlace += nAlreadyGot;
        nGot += nAlreadyGot;
        m_nInAmount -= nAlreadyGot;
        g_log(4,
              L"ServerChannel::read (end of while loop - nAlreadyGot:%d, m_nInPlace:%d, nGot:%d, "
              L"m_nInAmount:%d",
              nAlreadyGot, m_nInPlace, nGot, m_nInAmount);
    }
    g_log(4, L"ServerChannel::read (exit - nBytes:%d)", nBytes);
    return static_cast<int32_t>(nBytes);
}

bool ServerChannel::flush()
{
    g_log(4, L"ServerChannel::flush (enter)");
    DWORD nDone = 0;
    while (m_nOutAmount != 0)
    {
        g_log(4, L"ServerChannel::flush (entered while - m_nOutAmount:%d)", m_nOutAmount);
        DWORD nWritten = 0;
        const Io_result result = write_once(m_bufferOut + nDone, m_nOutAmount, &nWritten);
        const DWORD error = GetLastError();
        if (result == Io_result::start_failed)
        {
            g_log(2, L"ServerChannel::flush (WriteFile failed - error:%d", error);
            m_nOutAmount = 0;
            return false;
        }
        if (result != Io_result::done)
        {
            if (result == Io_result::no_event)
                g_log(2, L"ServerChannel::flush (CreateEvent failed - error:%d)", error);
            else
                g_log(2, L"ServerChannel::flush (GetOverlappedResult failed - error:%d)", error);
            // What is left moves to the start of the buffer, where the next flush expects it.
            std::memmove(m_bufferOut, m_bufferOut + nDone, m_nOutAmount);
            return false;
        }
        m_nOutAmount -= nWritten;
        nDone += nWritten;
        g_log(4,
              L"ServerChannel::flush (end of while loop - nDone:%d, nWritten:%d, m_nOutAmount:%d",
              nDone, nWritten, m_nOutAmount);
    }
    g_log(4, L"ServerChannel::flush (exit)");
    return true;
}

int32_t ServerChannel::write(const BYTE* pBuf, DWORD nBytes)
{
    g_log(4, L"ServerChannel::write (enter)");
    g_log(4, L"ServerChannel::write (nBytes:%x, sizeof(m_bufferOut):%d)", nBytes,
          static_cast<unsigned>(sizeof(m_bufferOut)));
    DWORD remaining = nBytes;
    if (nBytes <= k_channel_chunk)
    {
        DWORD nDone = 0;
        while (remaining != 0)
        {
            DWORD nBuffFree = k_channel_chunk - m_nOutAmount;
            DWORD nAmountToWrite = nBuffFree < remaining ? nBuffFree : remaining;
            g_log(4, L"ServerChannel::write (copy data - nBuffFree:%d, nAmountToWrite:%d)",
                  nBuffFree, nAmountToWrite);
            int error = 0;
            Copy_status copied = g_guarded_copy_own(m_bufferOut + m_nOutAmount, nAmountToWrite,
                                                    pBuf + nDone, nAmountToWrite, &error);
            if (copied == Copy_status::faulted)
            {
                g_log(2, L"ServerChannel::write (memcpy_s threw an exception - error:%d)",
                      GetLastError());
                return -1;
            }
            if (copied == Copy_status::failed)
            {
                g_log(2, L"ServerChannel::write (memcpy_s failed - error:%d)", error);
                return -1;
            }
            m_nOutAmount += nAmountToWrite;
            remaining -= nAmountToWrite;
            nDone += nAmountToWrite;
            g_log(4,
                  L"ServerChannel::write (calculate new values - m_nOutAmount:%d, nBytes:%d, "
                  L"nDone:%d)",
                  m_nOutAmount, remaining, nDone);
            if (m_nOutAmount == k_channel_chunk)
            {
                g_log(4, L"ServerChannel::write (flushing buffer - m_nOutAmount:%d", m_nOutAmount);
                if (!flush())
                {
                    g_log(2, L"ServerChannel::write (flush() failed)");
                    return -1;
                }
            }
        }
    }
    else
    {
        if (write_direct(pBuf, nBytes) != 0)
            return -1;
        remaining = 0;
    }
    g_log(4, L"ServerChannel::write (exit - nBytes:%d)", remaining);
    return 0;
}

int32_t ServerChannel::write_direct(const BYTE* pBuf, DWORD nBytes)
{
    while (m_nOutAmount != 0)
    {
        g_log(4, L"ServerChannel::write (flush - m_nOutAmount:%d)", m_nOutAmount);
        if (!flush())
        {
            g_log(2, L"ServerChannel::write (flush failed)");
            return -1;
        }
    }
    for (DWORD written = 0; nBytes != 0; pBuf += written, nBytes -= written)
    {
        const Io_result result = write_once(pBuf, nBytes, &written);
        const DWORD error = GetLastError();
        if (result == Io_result::done)
            continue;
        if (result == Io_result::no_event)
            g_log(2, L"ServerChannel::write (CreateEvent failed - error:%d)", error);
        else if (result == Io_result::start_failed)
            g_log(2, L"ServerChannel::write (WriteFile failed - error:%d)", error);
        else
            g_log(2, L"ServerChannel::write (GetOverlappedResult failed - error:%d)", error);
        return -1;
    }
    return 0;
}

bool g_write_to_virtual_channel(const BYTE* pBuf, DWORD nBytes)
{
    bool result = false;
    {
        Lock_hold hold(g_virtual_channel_mutex);
        if (g_virtual_channel.write(pBuf, nBytes) != 0)
            g_log(3,
                  L"Usb_manager:g_write_to_virtual_channel() - g_virtual_channel.write() failed");
        else
            result = g_virtual_channel.flush();
    }
    g_log(4, L"Usb_manager:g_write_to_virtual_channel() - success return_value:%d", result ? 1 : 0);
    return result;
}

int32_t g_read_from_virtual_channel(BYTE* pBuf, DWORD nBytes)
{
    int32_t result = g_virtual_channel.read(pBuf, nBytes);
    g_log(4, L"Usb_manager:g_read_from_virtual_channel() - success return_value:%d", result);
    return result;
}
