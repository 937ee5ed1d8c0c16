#!/usr/bin/env python3
"""Draws the module's pictures: a 16x16 key as an icon (key.ico, resource 201) and as a GIF
(key.gif, resource 202). Standard library only; the output is committed, so run this again only
after changing the drawing:  python3 module/images/make_images.py
"""
import os
import struct

SIZE = 16

# The key, one character per pixel: '.' transparent, 'o' outline, 'g' gold, 'h' highlight.
KEY = [
    "................",
    "................",
    "..oooo..........",
    ".ohhggo.........",
    "ohgoogoo........",
    "ogo..ogoooooooo.",
    "ogo..oggggggggo.",
    "ogo..ogoooogogo.",
    "oggoogo...ogogo.",
    ".oggggo...ooooo.",
    "..oooo..........",
    "................",
    "................",
    "................",
    "................",
    "................",
]

# RGB of each opaque pixel kind.
COLOURS = {"o": (0x5A, 0x3A, 0x00), "g": (0xE0, 0xA8, 0x20), "h": (0xFF, 0xE8, 0x90)}


def pixels():
    assert len(KEY) == SIZE and all(len(row) == SIZE for row in KEY)
    return KEY


def make_ico():
    """A single 16x16 image, 32 bits per pixel with alpha, plus the 1-bit AND mask."""
    rows = pixels()
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        for cell in row:
            if cell == ".":
                xor += bytes((0, 0, 0, 0))
            else:
                r, g, b = COLOURS[cell]
                xor += bytes((b, g, r, 0xFF))
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, cell in enumerate(row):
            if cell == ".":
                bits |= 0x8000 >> x
        mask += struct.pack(">H", bits) + b"\0\0"  # each row padded to 32 bits
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def lzw_encode(indices, min_code_size):
    """GIF's variable-width LZW, packed least significant bit first."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    state = {"acc": 0, "bits": 0}

    def emit(code, width):
        state["acc"] |= code << state["bits"]
        state["bits"] += width
        while state["bits"] >= 8:
            out.append(state["acc"] & 0xFF)
            state["acc"] >>= 8
            state["bits"] -= 8

    def reset():
        return {(i,): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = reset()
    emit(clear, width)
    current = ()
    for index in indices:
        candidate = current + (index,)
        if candidate in table:
            current = candidate
            continue
        emit(table[current], width)
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, next_code, width = reset()
        current = (index,)
    if current:
        emit(table[current], width)
    emit(end, width)
    if state["bits"]:
        out.append(state["acc"] & 0xFF)
    return bytes(out)


def make_gif():
    """GIF89a, 4-colour palette, index 0 transparent."""
    order = [".", "o", "g", "h"]
    palette = [(0xFF, 0xFF, 0xFF)] + [COLOURS[c] for c in order[1:]]
    indices = [order.index(cell) for row in pixels() for cell in row]
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", SIZE, SIZE, 0x80 | 0x10 | 0x01, 0, 0)  # 4-entry global table
    for r, g, b in palette:
        data += bytes((r, g, b))
    data += bytes((0x21, 0xF9, 4, 0x01, 0, 0, 0, 0))  # graphic control: index 0 transparent
    data += b"," + struct.pack("<HHHHB", 0, 0, SIZE, SIZE, 0)
    min_code_size = 2
    encoded = lzw_encode(indices, min_code_size)
    data.append(min_code_size)
    for start in range(0, len(encoded), 255):
        block = encoded[start:start + 255]
        data.append(len(block))
        data += block
    data += b"\0;"
    return bytes(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, content in (("key.ico", make_ico()), ("key.gif", make_gif())):
        with open(os.path.join(here, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
