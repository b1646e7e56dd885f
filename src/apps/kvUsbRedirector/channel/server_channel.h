// Buffered, overlapped byte stream over the static virtual channel "zelvusb".
#pragma once

#include "../platform/overlapped_call.h"
#include "../platform/owned.h"

#include <windows.h>
#include <cstdint>

constexpr DWORD k_channel_chunk = 1600; // CHANNEL_CHUNK_LENGTH

// Held over each whole message written, so that messages never interleave: it guards the output
// side of g_virtual_channel. Its input side has one reader, the reply pump.
extern Process_lock g_virtual_channel_mutex;

class ServerChannel
{
  public:
    ServerChannel();
    virtual ~ServerChannel();
    ServerChannel(const ServerChannel&) = delete;
    ServerChannel& operator=(const ServerChannel&) = delete;

    bool open();
    void close();
    int32_t read(BYTE* pBuf, DWORD nBytes);
    int32_t write(const BYTE* pBuf, DWORD nBytes) REQUIRES(g_virtual_channel_mutex);
    bool flush() REQUIRES(g_virtual_channel_mutex);

    bool is_open() const
    {
        return m_hChannel != nullptr;
    }
    // The last open failed because the session's client does not offer the channel.
    bool missing() const
    {
        return m_missing;
    }

  private:
    int32_t refill();
    int32_t write_direct(const BYTE* pBuf, DWORD nBytes) REQUIRES(g_virtual_channel_mutex);
    Io_result write_once(const BYTE* bytes, DWORD count, DWORD* written);

    HANDLE m_hChannel;
    HANDLE m_hFile;
    BYTE m_bufferOut[k_channel_chunk] GUARDED_BY(g_virtual_channel_mutex);
    DWORD m_nOutAmount GUARDED_BY(g_virtual_channel_mutex);
    BYTE m_bufferIn[k_channel_chunk];
    DWORD m_nInAmount;
    DWORD m_nInPlace;
    bool m_missing = false;
    // Made by each open, closed by close: set by the engine's stop to end a wait on the channel.
    Owned_handle m_exit_event;
};

extern ServerChannel g_virtual_channel;
// A view of the open channel's exit event; INVALID_HANDLE_VALUE while it is closed.
extern HANDLE g_exit_now_virtual_channel_event;
extern volatile DWORD g_session_id;

bool g_write_to_virtual_channel(const BYTE* pBuf, DWORD nBytes) EXCLUDES(g_virtual_channel_mutex);
int32_t g_read_from_virtual_channel(BYTE* pBuf, DWORD nBytes);
