"""Reading the pictures the program answers with, independently of the program's own
encoders: ffmpeg decodes PNG and JPEG; the PNG header is read here."""

import struct
import subprocess
import zlib


def png_header(data):
    """(width, height, bit depth, colour type) of a PNG, its chunk CRCs checked."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at = 8
    header = None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc = struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc, f"bad CRC in {kind}"
        if kind == b"IHDR":
            header = struct.unpack(">IIBB", body[:10])
        if kind == b"IEND":
            return header
        at += 12 + length
    raise AssertionError("PNG without IEND")


def jpeg_size(data):
    """(width, height) from a JPEG's start-of-frame segment."""
    assert data[:2] == b"\xff\xd8", "not a JPEG"
    at = 2
    while at < len(data):
        marker, length = data[at + 1], struct.unpack(">H", data[at + 2:at + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + length
    raise AssertionError("JPEG without a frame header")


def decode(data):
    """(width, height, rows of RGB bytes) of a PNG or JPEG, decoded by ffmpeg."""
    if data[:4] == b"\x89PNG":
        codec, (width, height) = "png", png_header(data)[:2]
    else:
        codec, (width, height) = "mjpeg", jpeg_size(data)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-f", "image2pipe", "-c:v", codec, "-i", "-", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], input=data, capture_output=True, check=True).stdout
    assert len(raw) == width * height * 3, (len(raw), width, height)
    return width, height, [raw[y * width * 3:(y + 1) * width * 3] for y in range(height)]


def pixel(picture, x, y):
    _, _, rows = picture
    return tuple(rows[y][x * 3:x * 3 + 3])


def close(a, b, tolerance):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))
