"""Test signals: deterministic stereo noise as 16-bit 44.1 kHz WAV files.

Noise, not a tone: a seam that skips or repeats even one frame shows up
when the capture is compared with the input, and no frame is silent, so
the first and last frames that reach the sink can be told from silence.
"""
import struct

RATE = 44100
CHANNELS = 2
FRAME_BYTES = 4


def noise_frames(frames, seed=12345):
    """|frames| frames of noise at about -12 dBFS; no frame is all zero."""
    out = bytearray(frames * FRAME_BYTES)
    x = seed
    for i in range(frames):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        left = ((x >> 8) & 0x3FFF) - 0x2000
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        right = ((x >> 8) & 0x3FFF) - 0x2000
        if left == 0:
            left = 1
        struct.pack_into('<hh', out, i * FRAME_BYTES, left, right)
    return bytes(out)


def header(data_bytes):
    return (b'RIFF' + struct.pack('<I', 36 + data_bytes) + b'WAVE' +
            b'fmt ' + struct.pack('<IHHIIHH', 16, 1, CHANNELS, RATE,
                                  RATE * FRAME_BYTES, FRAME_BYTES, 16) +
            b'data' + struct.pack('<I', data_bytes))


def write_wav(path, data):
    with open(path, 'wb') as f:
        f.write(header(len(data)))
        f.write(data)


def write_big_wav(path, block, total_bytes):
    """A WAV of about |total_bytes| of audio: |block| repeated."""
    count = total_bytes // len(block)
    with open(path, 'wb') as f:
        f.write(header(count * len(block)))
        for _ in range(count):
            f.write(block)
