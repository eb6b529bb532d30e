"""WAV files for the tests and the benchmark: deterministic noise, and
16-bit PCM files written and read through the standard library's wave.

Noise, not a tone: a seam that skips or repeats even one frame shows up
when a capture is compared with the input, and no frame is silent, so
the first and last frames that reach a sink can be told from silence.
"""
import wave

RATE = 44100
CHANNELS = 2
SAMPLE_BYTES = 2
FRAME_BYTES = CHANNELS * SAMPLE_BYTES


def noise_frames(frames, seed=12345):
    """|frames| stereo frames of noise at about -12 dBFS; no frame is all
    zero."""
    out = bytearray(frames * FRAME_BYTES)
    x = seed
    for i in range(frames):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        left = ((x >> 8) & 0x3FFF) - 0x2000
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        right = ((x >> 8) & 0x3FFF) - 0x2000
        if left == 0:
            left = 1
        out[i * FRAME_BYTES:(i + 1) * FRAME_BYTES] = (
            left.to_bytes(2, 'little', signed=True) +
            right.to_bytes(2, 'little', signed=True))
    return bytes(out)


def _open_for_writing(path, frames, rate, channels):
    w = wave.open(path, 'wb')
    w.setnchannels(channels)
    w.setsampwidth(SAMPLE_BYTES)
    w.setframerate(rate)
    # Known up front, so the header is written once and never patched.
    w.setnframes(frames)
    return w


def write_wav(path, data, rate=RATE, channels=CHANNELS):
    """A 16-bit PCM WAV holding |data| (little-endian samples,
    interleaved)."""
    with _open_for_writing(path, len(data) // (channels * SAMPLE_BYTES),
                           rate, channels) as w:
        w.writeframes(data)


def write_big_wav(path, block, total_bytes):
    """A stereo 44.1 kHz WAV of about |total_bytes| of audio: |block|
    repeated, written a block at a time."""
    count = total_bytes // len(block)
    with _open_for_writing(path, count * len(block) // FRAME_BYTES,
                           RATE, CHANNELS) as w:
        for _ in range(count):
            w.writeframesraw(block)


def read_wav(path):
    """The sample data of a 16-bit PCM WAV, as in the file."""
    with wave.open(path, 'rb') as r:
        if r.getsampwidth() != SAMPLE_BYTES:
            raise ValueError('%s: %d-byte samples' % (path, r.getsampwidth()))
        return r.readframes(r.getnframes())
