"""What render_mode "rgb_array" makes of a screenshot, against PNG files written here with every filter
and colour type: an (height, width, 3) uint8 RGB array of its own, or ValueError for what is not a PNG."""

from __future__ import annotations

import struct
import zlib

import numpy as np
import pytest

from py_engine_rust_gym._session import decode_screenshot

CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filter_row(kind: int, row: bytes, prior: bytes, bpp: int) -> bytes:
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = [0, a, b, (a + b) >> 1, _paeth(a, b, c)][kind] if kind <= 4 else 0
        out[i] = (x - predictor) & 0xFF
    return bytes(out)


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def encode_png(pixels: np.ndarray, colour: int, filters, depth: int = 8, interlace: int = 0,
               split: int = 1) -> bytes:
    """A straightforward encoder: row r is filtered with ``filters[r % len(filters)]``."""
    height, width = pixels.shape[:2]
    bpp = CHANNELS[colour]
    rows = pixels.reshape(height, width * bpp)
    prior = bytes(width * bpp)
    raw = bytearray()
    for r in range(height):
        kind = filters[r % len(filters)]
        line = rows[r].tobytes()
        raw += bytes([kind]) + _filter_row(kind, line, prior, bpp)
        prior = line
    data = zlib.compress(bytes(raw))
    parts = [data[i * len(data) // split:(i + 1) * len(data) // split] for i in range(split)]
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + b"".join(_chunk(b"IDAT", p) for p in parts)
            + _chunk(b"IEND", b""))


def expected_rgb(pixels: np.ndarray, colour: int) -> np.ndarray:
    if colour in (2, 6):
        return pixels[:, :, :3]
    return np.repeat(pixels[:, :, :1], 3, axis=2)


@pytest.mark.parametrize("colour", [0, 2, 4, 6])
@pytest.mark.parametrize("filters", [[0], [1], [2], [3], [4], [2, 2, 2, 4, 1, 0, 3, 2]],
                         ids=["none", "sub", "up", "average", "paeth", "mixed"])
def test_decodes_every_filter_and_colour_type(colour, filters):
    rng = np.random.default_rng(len(filters) * 10 + colour)
    # Random noise and smooth gradients: wrap-around and predictor choices both get exercised.
    noise = rng.integers(0, 256, (9, 13, CHANNELS[colour]), dtype=np.uint8)
    ramp = (np.arange(9 * 13 * CHANNELS[colour]) * 7 % 256).astype(np.uint8).reshape(noise.shape)
    pixels = np.where(rng.random(noise.shape) < 0.5, noise, ramp).astype(np.uint8)
    image = decode_screenshot(encode_png(pixels, colour, filters, split=3))
    assert image.dtype == np.uint8 and image.shape == (9, 13, 3) and image.flags.writeable
    np.testing.assert_array_equal(image, expected_rgb(pixels, colour))


@pytest.mark.parametrize("data, message", [
    (b"GIF89a" + bytes(20), "not a"),
    # Headers that the image data does not match (16 bits a sample, interlaced, a filter type 7).
    (encode_png(np.zeros((2, 2, 3), np.uint8), 2, [0], depth=16), "not a readable PNG"),
    (encode_png(np.zeros((2, 2, 3), np.uint8), 2, [0], interlace=1), "not a readable PNG"),
    (encode_png(np.zeros((2, 2, 3), np.uint8), 2, [7]), "not a readable PNG"),
    (b"\x89PNG\r\n\x1a\n" + _chunk(b"IEND", b""), "not a readable PNG"),
], ids=["gif", "bit depth 16", "interlace 1", "filter type 7", "without IHDR"])
def test_refuses_what_it_cannot_read(data, message):
    with pytest.raises(ValueError, match=message):
        decode_screenshot(data)


def test_image_data_ending_early_leaves_the_missing_rows_black():
    # Pillow reads what the data holds and leaves the rest of the stated size at zero (the
    # hand-written decoder refused such a file; Chromium never writes one).
    good = encode_png(np.full((4, 4, 3), 9, np.uint8), 2, [0])
    header = struct.pack(">IIBBBBB", 4, 5, 8, 2, 0, 0, 0)  # says one row more than the data holds
    start = good.index(b"IHDR") - 4
    bad = good[:start] + _chunk(b"IHDR", header) + good[start + 25:]
    image = decode_screenshot(bad)
    assert image.shape == (5, 4, 3)
    assert (image[:4] == 9).all() and (image[4] == 0).all()


def test_decoded_arrays_are_independent():
    data = encode_png(np.full((3, 4, 3), 7, np.uint8), 2, [2])
    first, second = decode_screenshot(data), decode_screenshot(data)
    first[0, 0] = 0
    assert second[0, 0].tolist() == [7, 7, 7]
