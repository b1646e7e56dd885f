#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz target into fuzz/corpus/fuzz_portable/.

Small valid messages and the edge cases around them, so the fuzzers start past the length and
code checks instead of having to find them. Rerun after changing a layout; the output is
deterministic, so an unchanged layout leaves git clean.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

CODE_RESET, CODE_CLAIM, CODE_QUEUE_URB, CODE_REAP = 2, 4, 7, 8
CODE_CANCEL, CODE_DEVICE_LIST, CODE_NEGOTIATE, CODE_MDL_URB = 10, 11, 12, 15


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def frame(code, body=b"", length=None):
    """u32 length (bytes after it), code, body; length overrides the true one."""
    return u32(1 + len(body) if length is None else length) + bytes([code]) + body


def status_reply(code, status=0, devid=1):
    return frame(code, bytes([status]) + u32(devid))


def reap_reply(data=b"", devid=1, flags=0, status=0, handle=0x10, data_length=None, length=None):
    n = len(data) if data_length is None else data_length
    body = u32(devid) + bytes([flags, status]) + u32(handle) + u32(n) + data
    return frame(CODE_REAP, body, length)


def record(dev_id=1, name=b"Stick", identity=b"SN-1", ids=(0x1234, 0x5678, 0x0100)):
    """A device record as the terminal lists it; None leaves a string out (offset 0)."""
    name_bytes = name + b"\0" if name is not None else b""
    identity_bytes = identity + b"\0" if identity is not None else b""
    size = 25 + len(name_bytes) + len(identity_bytes)
    fixed = (u16(size) + u32(dev_id) + b"\xee" * 5 + u16(ids[0]) + u16(ids[1]) + b"\xee" * 4 +
             u16(25 if name is not None else 0) +
             u16(25 + len(name_bytes) if identity is not None else 0) + u16(ids[2]))
    assert len(fixed) == 25
    return fixed + name_bytes + identity_bytes


def device_list(records, closing_zero=True):
    return frame(CODE_DEVICE_LIST, b"".join(records) + (b"\0\0" if closing_zero else b""))


def with_u16(data, at, value):
    return data[:at] + u16(value) + data[at + 2:]


def urb_request(code, data=b"", devid=1, handle=0x20, direction=2, address=None):
    header = (u32(devid) + u32(handle) + b"\0\0" + bytes([direction]) + b"\0" * 4 +
              u32(len(data)))
    assert len(header) == 19
    body = header + (u64(address) if address is not None else b"") + data
    return frame(code, body)


def mdl_request(data_length, address=0x7FF612340000, devid=1, handle=0x20, direction=2,
                length=None):
    body = (u32(devid) + u32(handle) + b"\0\0" + bytes([direction]) + b"\0" * 4 +
            u32(data_length) + u64(address))
    return frame(CODE_MDL_URB, body, 27 + 1 if length is None else length)


def device_list_seeds():
    good = record(5)
    twin = record(6)  # same identity as good, another id
    bad_strings = with_u16(record(7), 19, 200)  # name offset outside the record
    return {
        "empty": device_list([]),
        "poll": frame(CODE_DEVICE_LIST),
        "one": device_list([good]),
        "three": device_list([good, record(8, name=None), record(9, identity=None)]),
        "twins": device_list([good, twin, record(10, identity=b"SN-2")]),
        "no_closing_zero": device_list([good, record(8)], closing_zero=False),
        "bad_strings": device_list([good, bad_strings, record(9)]),
        "name_after_identity": device_list([with_u16(record(7), 19, 33)]),
        "too_short": device_list([good, u16(10) + u32(1) + b"\0" * 4, good]),
        "past_payload": device_list([with_u16(good, 0, 0xFF)]),
        "truncated": device_list([good, good])[:40],
        "long_name": device_list([record(3, name=b"A" * 60, identity=None)]),
    }


def reply_frame_seeds():
    listing = device_list([record(5), record(6, identity=None)])
    return {
        "negotiate_v1": frame(CODE_NEGOTIATE, b"\x01"),
        "negotiate_v2": frame(CODE_NEGOTIATE, u32(2)),
        "status": status_reply(CODE_CLAIM, 0, 3),
        "status_short": frame(CODE_RESET, b"\0"),
        "reap_data": reap_reply(b"\x12\x01\x00\x02\x00\x00\x00\x40"),
        "reap_no_data": reap_reply(data_length=64),
        "reap_short": frame(CODE_REAP, b"\0" * 10),
        "device_list": listing,
        "stream": (frame(CODE_NEGOTIATE, u32(2)) + u32(0) + status_reply(3) + listing +
                   reap_reply(b"abcd") + frame(0x7F, b"\0\0")),
        "cut_body": status_reply(CODE_RESET)[:7],
        "huge_length": u32(0x01000001) + bytes([CODE_REAP]) + b"\0" * 20,
    }


def completion_seeds():
    seeds = {"stream_" + name: data for name, data in reply_frame_seeds().items()}
    return seeds | {
        "reap_data": reap_reply(b"\x00\x01\x02\x03\x04\x05\x06\x07"),
        "reap_no_data": reap_reply(data_length=512),
        "reap_zero": reap_reply(),
        "reap_length_short": reap_reply(b"abcdef", length=18),
        "reap_length_past": reap_reply(b"abcdef", length=400),
        "status": status_reply(CODE_RESET, 4, 9),
        "request_claim": frame(CODE_CLAIM, u32(9) + b"\x01"),
        "request_urb": urb_request(CODE_QUEUE_URB, b"\x80\x06\x00\x01\x00\x00\x12\x00"),
        "request_mdl": mdl_request(64, address=0x1000),
        "request_mdl_short": urb_request(CODE_MDL_URB)[:28],
        "request_cancel": frame(CODE_CANCEL, u32(9) + u32(0x20)),
        "request_devid_cut": frame(CODE_RESET, b"\x09\x00"),
    }


def mdl_rewrite_seeds():
    return {
        "to_device": mdl_request(16),
        "to_host": mdl_request(64, direction=1),
        "empty": mdl_request(0),
        "largest": mdl_request(0xFFFFFFFF - 24),
        "wraps": mdl_request(0xFFFFFFFF - 23),
        "length_short": mdl_request(16, length=27),
        "cut": mdl_request(16)[:31],
        "urb": urb_request(CODE_QUEUE_URB, b"\x01\x02\x03\x04"),
        "short_message": u32(5) + bytes([CODE_CANCEL]) + u32(0x20),
        "top_length": u32(0xFFFFFFFC) + bytes([CODE_MDL_URB]) + b"\0" * 27,
    }


def main():
    seeds = {}
    for kind, made in (("list", device_list_seeds), ("reply", completion_seeds),
                       ("request", mdl_rewrite_seeds)):
        seeds |= {f"{kind}_{name}": data for name, data in made().items()}
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    directory = os.path.join(HERE, "corpus", "fuzz_portable")
    os.makedirs(directory)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    print(f"fuzz_portable: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
