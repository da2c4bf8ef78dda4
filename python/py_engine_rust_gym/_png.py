"""A PNG decoder for screenshots: zlib and NumPy only.

Chromium's fast screenshot encoding filters every row with "Up", which decodes
as one cumulative sum down the columns; the other filters are handled too, row
by row, so that any 8-bit PNG without interlacing reads correctly.
"""

from __future__ import annotations

import struct
import zlib

import numpy as np

SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}  # colour type -> samples per pixel
_NONE, _SUB, _UP, _AVERAGE, _PAETH = range(5)


def decode_png(data: bytes) -> np.ndarray:
    """Decodes an 8-bit PNG into an array of shape (height, width, 3), dtype uint8 (RGB).

    Grey images are repeated into the three channels; alpha is dropped.
    Raises ValueError for anything else (other bit depths, palettes,
    interlacing, a damaged file).
    """
    if data[:8] != SIGNATURE:
        raise ValueError("not a PNG image")
    header = None
    chunks = []
    pos = 8
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        elif kind == b"IEND":
            break
    if header is None or not chunks:
        raise ValueError("PNG image without IHDR or IDAT")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in _CHANNELS or interlace != 0:
        raise ValueError("unsupported PNG: bit depth %d, colour type %d, interlace %d (8-bit, "
                         "no palette, no interlacing expected)" % (depth, colour, interlace))
    channels = _CHANNELS[colour]
    stride = width * channels
    raw = np.frombuffer(zlib.decompress(b"".join(chunks)), dtype=np.uint8)
    if raw.size != height * (stride + 1):
        raise ValueError("PNG image data holds %d bytes, expected %d" % (raw.size, height * (stride + 1)))
    rows = raw.reshape(height, stride + 1)
    filters = rows[:, 0]
    lines = rows[:, 1:]
    out = np.empty((height, stride), dtype=np.uint8)
    prior = np.zeros(stride, dtype=np.uint8)
    r = 0
    while r < height:
        kind = filters[r]
        if kind == _UP:
            end = r + 1
            while end < height and filters[end] == _UP:
                end += 1
            # uint8 accumulation wraps modulo 256, as the filter's arithmetic does.
            block = np.cumsum(lines[r:end], axis=0, dtype=np.uint8)
            block += prior
            out[r:end] = block
            r = end
        else:
            if kind == _NONE:
                out[r] = lines[r]
            elif kind == _SUB:
                out[r] = np.cumsum(lines[r].reshape(width, channels), axis=0, dtype=np.uint8).reshape(-1)
            elif kind in (_AVERAGE, _PAETH):
                out[r] = _unfilter_sequential(kind, lines[r], prior, channels)
            else:
                raise ValueError("PNG row %d has unknown filter type %d" % (r, kind))
            r += 1
        prior = out[r - 1]
    image = out.reshape(height, width, channels)
    if channels >= 3:
        return np.ascontiguousarray(image[:, :, :3])
    return np.repeat(image[:, :, :1], 3, axis=2)


def _unfilter_sequential(kind: int, line: np.ndarray, prior: np.ndarray, bpp: int) -> np.ndarray:
    """Average and Paeth rows: each byte depends on the one decoded just before it."""
    cur = bytearray(line.tobytes())
    up = prior.tobytes()
    for i in range(len(cur)):
        a = cur[i - bpp] if i >= bpp else 0
        b = up[i]
        if kind == _AVERAGE:
            cur[i] = (cur[i] + ((a + b) >> 1)) & 0xFF
            continue
        c = up[i - bpp] if i >= bpp else 0
        p = a + b - c
        pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        if pa <= pb and pa <= pc:
            predictor = a
        elif pb <= pc:
            predictor = b
        else:
            predictor = c
        cur[i] = (cur[i] + predictor) & 0xFF
    return np.frombuffer(bytes(cur), dtype=np.uint8)
