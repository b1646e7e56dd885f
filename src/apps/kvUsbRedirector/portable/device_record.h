// Byte layout of the terminal's device records and the walk over a device-list reply.
// Pure functions over byte buffers: no system headers, so they build and fuzz natively.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv
{

// Fixed part of one device record. Records are read through the load helpers, never through
// this struct, so the layout is what counts: it fixes the field offsets.
#pragma pack(push, 1)
struct Usb_device_record
{
    uint16_t length; // bytes in the record, this field included; 0 ends the list
    uint32_t device_id;
    uint8_t passed_on_1[5];
    uint16_t identity_number_1;
    uint16_t identity_number_2;
    uint8_t passed_on_2[4];
    uint16_t name_offset;            // 0: no name
    uint16_t identity_string_offset; // 0: no identity string
    uint16_t identity_number_3;
};
#pragma pack(pop)

constexpr size_t k_record_offset_device_id = offsetof(Usb_device_record, device_id);
constexpr size_t k_record_offset_identity_1 = offsetof(Usb_device_record, identity_number_1);
constexpr size_t k_record_offset_identity_2 = offsetof(Usb_device_record, identity_number_2);
constexpr size_t k_record_offset_name = offsetof(Usb_device_record, name_offset);
constexpr size_t k_record_offset_identity_string =
    offsetof(Usb_device_record, identity_string_offset);
constexpr size_t k_record_offset_identity_3 = offsetof(Usb_device_record, identity_number_3);
constexpr size_t k_record_fixed_size = sizeof(Usb_device_record);
static_assert(k_record_offset_identity_1 == 11 && k_record_offset_name == 19 &&
              k_record_offset_identity_3 == 23 && k_record_fixed_size == 25);

inline uint16_t load_u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint16_t record_length(const uint8_t* record)
{
    return load_u16(record);
}

inline uint32_t record_device_id(const uint8_t* record)
{
    return static_cast<uint32_t>(record[2]) | static_cast<uint32_t>(record[3]) << 8 |
           static_cast<uint32_t>(record[4]) << 16 | static_cast<uint32_t>(record[5]) << 24;
}

// Identity numbers 1, 2 and 3 of a record of at least its fixed size.
inline void record_identity_numbers(const uint8_t* record, uint16_t numbers[3])
{
    numbers[0] = load_u16(record + k_record_offset_identity_1);
    numbers[1] = load_u16(record + k_record_offset_identity_2);
    numbers[2] = load_u16(record + k_record_offset_identity_3);
}

enum class Record_check : uint8_t
{
    ok,
    too_short,    // shorter than its fixed part: ends the walk
    past_payload, // runs past the payload or the message: ends the walk
    bad_strings,  // a string offset outside the record, the name after the identity string, or
                  // an identity string without its zero inside the record: skipped
};

// Checks the record of record_size bytes (its own length field) that begins at record.
Record_check check_record(const uint8_t* record, size_t record_size);

// Position in a device-list reply frame. Offsets are into the payload, which starts at frame
// offset 5 and holds (length field - 1) bytes taken as a 16-bit number.
struct Record_walk
{
    size_t payload_size; // P of the reply
    size_t available;    // payload bytes that really are in the message, at most P
    size_t offset;
    bool first;
    bool done;
};

struct Record_view
{
    size_t frame_offset; // where the record starts in the frame
    size_t length;       // its length field
    Record_check check;
};

// Starts a walk over a frame of frame_size bytes. A frame without buffer, shorter than its
// header or with a length field below 4 lists nothing.
void begin_record_walk(const uint8_t* frame, size_t frame_size, Record_walk* walk);

// The next record, or false at the end. The first record needs only a nonzero length; every
// later one must also end before the payload's last byte, where the closing zero stands. A
// record that fails check_record is still returned, with its check: too_short and past_payload
// end the walk (nothing after it can be located with trust), bad_strings goes on after it.
bool next_record(const uint8_t* frame, size_t frame_size, Record_walk* walk, Record_view* out);

// The twin test: another device id with equal identity numbers and identity strings. Two
// absent identity strings are equal; one absent and one present differ. Both records must
// have passed check_record.
bool records_are_twins(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size);

// The display name's bytes inside a record: from the name offset up to the identity string
// offset, or to the record's end when there is no identity string.
struct Name_span
{
    bool present; // false: no name offset, or offsets that do not fit the record
    size_t offset;
    size_t count;
};
Name_span display_name_span(const uint8_t* record, size_t record_size);

} // namespace kv
