// A device record as the terminal sends it, in the heap block a device list entry owns.
#pragma once

#include "packets/usb_device_list.h"
#include "sim_records.h"

#include <cstdlib>
#include <cstring>

inline Owned_block<Usb_device_record> g_preview_record(uint32_t device_id, const char* name)
{
    const sim_records::Bytes bytes = sim_records::record({.id = device_id, .name = name});
    Owned_block<Usb_device_record> copy(static_cast<Usb_device_record*>(std::malloc(bytes.size())));
    if (copy)
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}
