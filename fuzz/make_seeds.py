#!/usr/bin/env python3
"""Writes the seed sessions for the entry-point fuzzer into fuzz/seeds.

A session is: three host bytes (parts absent, table holes, extras), then calls.
A call is: selector byte, flag byte, record byte, [initial result: int16 when
flag 0x08], [image when flag 0x80: filterRect as four int16, the 32-bit
rectangle's mode byte and payload, tile height and width as int16, planes,
depth and mask bytes], then the bytes that the host's callbacks consume in the
order the module calls them (0 always means "behave normally").
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def i16(*values):
    return b"".join(struct.pack("<h", v) for v in values)


def i32(*values):
    return b"".join(struct.pack("<i", v) for v in values)


def image(rect=(0, 0, 40, 50), rect32=b"\x00", tile=(16, 16), planes=4, depth=0, mask=0):
    return i16(*rect) + rect32 + i16(*tile) + bytes([planes, depth, mask])


def call(selector, flags=0, record=0, result=None, img=b"", callbacks=b""):
    out = bytes([selector, flags | (0x80 if img else 0) | (0x08 if result is not None else 0), record])
    if result is not None:
        out += i16(result)
    return out + img + callbacks


def run(host=b"\x00\x00\x00", img=None, tiles=12, planes=4, start_callbacks=None, extra=b""):
    img = img if img is not None else image(planes=planes)
    per_tile = b"\x00\x00" * planes + b"\x00"  # advanceState (fault, seed) per plane, then abortProc
    start = start_callbacks if start_callbacks is not None else b"\x00\x00\x00" + per_tile * tiles
    return (host + call(1, callbacks=b"\x00" * 4) + call(2, callbacks=b"\x00" * 2) +
            call(3, img=img, callbacks=start) + call(4) + call(5, callbacks=b"\x00" * 8) + extra)


SEEDS = {
    "plain_run": run(),
    "masked_run": run(img=image(mask=1)),
    "big_document": run(img=image(rect32=b"\x02" + i16(0, 0) + i32(2000000, 2000000), tile=(256, 256)), tiles=8),
    "beyond_16_bits": run(img=image(rect32=b"\x01" + i32(-70000, 40000, -69990, 40020), tile=(8, 8)), tiles=6),
    "depth16_eight_planes": run(img=image(planes=8, depth=2), planes=8, tiles=12),
    "depth1_and_32": run(img=image(depth=1)) + call(3, img=image(depth=3), callbacks=b"\x00" * 64),
    "no_host_parts": run(host=b"\xff\x00\x00"),
    "table_holes": run(host=b"\x00\xff\xff"),
    "dialog_cancelled": run(start_callbacks=b"\x00\x00\x01"),
    "advance_fails_plane2": run(start_callbacks=b"\x00\x00\x00" + b"\x00\x00" * 2 + b"\x80" + i16(-1)),
    "lying_host": run(start_callbacks=b"\x00\x00\x00" + b"\x44\x00\x08\x00\x01\x07\x30\x01"),
    "odd_selectors": b"\x00\x00\x00" + call(6, callbacks=i16(-1)) + call(7) + call(0) + call(4, flags=0x07),
    "empty_and_negative": run(img=image(rect=(10, 10, -5, 60), tile=(-3, 0))),
    "fresh_copies": b"\x00\x00\x00" + call(1, callbacks=b"\x00" * 4) + call(2, flags=0x40, callbacks=b"\x00" * 2) +
                    call(2, flags=0x30, callbacks=b"\x00" * 6) + call(5, flags=0x40, callbacks=b"\x00" * 8),
    "saved_without_dithering": run(host=b"\x00\x00\x20", img=image(mask=1)),
    # Bottom-up buffers (extras 0x80) with padded rows (advanceState byte 0x30), masked.
    "bottom_up_padded": run(host=b"\x00\x00\x80", img=image(mask=1),
                            start_callbacks=b"\x00\x00\x00" + (b"\x30\x30" * 4 + b"\x00") * 12),
    "failing_suites": run(host=b"\x00\x00\x68", extra=call(5, callbacks=b"\x81\x01\xc1\x01\x01\x01\x01\x01")),
}


def main():
    folder = os.path.join(HERE, "seeds")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {folder}")


if __name__ == "__main__":
    main()
