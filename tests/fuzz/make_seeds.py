#!/usr/bin/python3
"""Writes the committed seed corpora of the fuzzers (seeds/audio, seeds/nodes).

Run from anywhere with Debian's /usr/bin/python3 and libsndfile1; the output is deterministic.
The seeds only give the fuzzers a start: a few small files in containers libsndfile reads, and
node inputs in the layout fuzz_nodes.cpp reads (see its header comment).
"""
import ctypes
import ctypes.util
import math
import os
import random
import struct
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# libsndfile format codes (sndfile.h).
SF_FORMAT_WAV = 0x010000
SF_FORMAT_AIFF = 0x020000
SF_FORMAT_AU = 0x030000
SF_FORMAT_W64 = 0x0B0000
SF_FORMAT_FLAC = 0x170000
SF_FORMAT_CAF = 0x180000
SF_FORMAT_PCM_16 = 0x0002
SF_FORMAT_PCM_U8 = 0x0005
SF_FORMAT_FLOAT = 0x0006
SF_FORMAT_ULAW = 0x0010
SFM_WRITE = 0x20


class SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                ("channels", ctypes.c_int), ("format", ctypes.c_int),
                ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


sndfile = ctypes.CDLL(ctypes.util.find_library("sndfile") or "libsndfile.so.1")
sndfile.sf_open.restype = ctypes.c_void_p
sndfile.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SfInfo)]
sndfile.sf_writef_float.restype = ctypes.c_int64
sndfile.sf_writef_float.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_float), ctypes.c_int64]
sndfile.sf_close.argtypes = [ctypes.c_void_p]
sndfile.sf_strerror.restype = ctypes.c_char_p
sndfile.sf_strerror.argtypes = [ctypes.c_void_p]


def encode(samples, channels, rate, fmt):
    """The bytes of a file holding `samples` (interleaved floats) in libsndfile format `fmt`."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "seed").encode()
        info = SfInfo(0, rate, channels, fmt, 0, 0)
        handle = sndfile.sf_open(path, SFM_WRITE, ctypes.byref(info))
        if not handle:
            raise RuntimeError(sndfile.sf_strerror(None).decode())
        data = (ctypes.c_float * len(samples))(*samples)
        frames = len(samples) // channels
        if sndfile.sf_writef_float(handle, data, frames) != frames:
            raise RuntimeError(sndfile.sf_strerror(handle).decode())
        sndfile.sf_close(handle)
        with open(path, "rb") as f:
            return f.read()


def signal(frames, channels, rate, level, rng):
    """A hum with harmonics in every channel plus a short tone burst, slightly delayed per
    channel, plus a little noise."""
    out = []
    for n in range(frames):
        for c in range(channels):
            t = (n - 2 * c) / rate
            hum = sum(math.sin(2 * math.pi * 120 * k * t) / k for k in range(1, 4))
            burst = math.sin(2 * math.pi * 1000 * t) if frames // 3 < n < frames // 2 else 0.0
            out.append(level * (0.3 * hum + 0.5 * burst + 0.05 * rng.uniform(-1, 1)))
    return out


def audio_seeds():
    rng = random.Random(1)
    # (name, first byte of the fuzz input, channels, frames, rate, format, level)
    items = [
        ("wav_pcm16_2ch", 0x00, 2, 600, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0.5),
        ("wav_float_4ch", 0x15, 4, 250, 16000, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.5),
        ("wav_float_loud_1ch", 0x2e, 1, 500, 16000, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1e6),
        ("aiff_pcm16_3ch", 0x4b, 3, 400, 8000, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0.3),
        ("flac_pcm16_2ch", 0x33, 2, 1000, 16000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.5),
        ("au_ulaw_2ch", 0x86, 2, 800, 8000, SF_FORMAT_AU | SF_FORMAT_ULAW, 0.5),
        ("w64_u8_1ch", 0xd2, 1, 900, 11025, SF_FORMAT_W64 | SF_FORMAT_PCM_U8, 0.5),
        ("wav_float_8ch", 0x1f, 8, 40, 16000, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.5),
        ("caf_pcm16_1ch", 0x9c, 1, 300, 8000, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0.5),
    ]
    for name, config, channels, frames, rate, fmt, level in items:
        body = encode(signal(frames, channels, rate, level, rng), channels, rate, fmt)
        yield name, bytes([config]) + body


def node_seeds():
    """Inputs in fuzz_nodes' layout: valid parameter sets and well-formed frames."""
    rng = random.Random(2)

    def param_int(value, lo):  # right type, ordinary value lo + b
        return bytes([3, value - lo])

    def param_float(b):  # right type, ordinary value typical * (b - 32) / 160
        return bytes([3, b])

    def frames(count, ports, channels, bins, scale_index=0, generated=False):
        out = bytes([count - 1])
        for _ in range(count):
            for complex_port in ports:
                if generated:  # right shape and type; non-negative generated values
                    out += bytes([15, 0x70 | scale_index, rng.randrange(256),
                                  rng.randrange(256), rng.randrange(256), 40])
                    continue
                out += bytes([15, scale_index])  # right shape and type, a scale
                values = channels * bins * (2 if complex_port else 1)
                out += bytes(rng.randrange(0, 100) for _ in range(values))
        return out

    # MultiRobustPCA: NUM_CHANNEL 2, LENGTH 16 (9 bins), CUTOFF_FREQ 200 (typical 8000 * 4/160),
    # SAMPLING_RATE 16000, GLOBAL_SCALE 0.5, LAMBDA 1, SCALE_UPDATE_RATIO 0.1, MAX_LANK 2,
    # EPSILON 0.001.
    rpca = (bytes([0, 1]) + param_int(2, -2) + param_int(16, -4) + param_float(36) +
            bytes([3, 8]) + param_float(72) + param_float(72) + param_float(48) +
            param_int(2, -1) + param_float(48))
    yield "rpca_2ch_9bins", rpca + frames(3, [True], 2, 9)
    yield "rpca_1ch_loud", (bytes([0, 7]) + param_int(1, -2) + param_int(8, -4) +
                            param_float(32) + bytes([3, 7]) + param_float(112) +
                            param_float(72) + param_float(64) + param_int(1, -1) +
                            param_float(48) + frames(2, [True], 1, 5, scale_index=8))
    # MultiRobustPCA at the largest geometry: NUM_CHANNEL 8, LENGTH 64 (33 bins), MAX_LANK 4,
    # generated frames.
    yield "rpca_8ch_33bins", (rpca[:2] + param_int(8, -2) + param_int(64, -4) + rpca[6:16] +
                              param_int(4, -1) + param_float(48) +
                              frames(4, [True], 8, 33, generated=True))
    # MedianIntegrator: NUM_CHANNEL 3, LENGTH 8 (5 bins).
    yield "median_3ch_5bins", (bytes([1, 0]) + param_int(3, -1) + param_int(8, -5) +
                               frames(2, [True, False], 3, 5))
    # PoissonGammaIntegrator: NUM_CHANNEL 2, LENGTH 6 (4 bins), GLOBAL_SCALE 1.
    yield "median_8ch_33bins", (bytes([1, 0]) + param_int(8, -1) + param_int(64, -5) +
                                frames(3, [True, False], 8, 33, generated=True))
    yield "poisson_gamma_8ch_33bins", (bytes([2, 0]) + param_int(8, -1) + param_int(64, -2) +
                                       param_float(72) +
                                       frames(3, [True, False], 8, 33, generated=True))
    yield "poisson_gamma_2ch_4bins", (bytes([2, 0]) + param_int(2, -1) + param_int(6, -2) +
                                      param_float(72) + frames(2, [True, False], 2, 4))
    # SparseMaskIntegrator: NUM_CHANNEL 3, LENGTH 8 (5 bins), SNR_SMOOTHING 0.4,
    # NOISE_OVERESTIMATION 1, GAIN_FLOOR 0.03 (about); then 8 channels, 33 bins, generated frames.
    mask_params = param_float(96) + param_float(72) + param_float(37)
    yield "mask_3ch_5bins", (bytes([3, 0]) + param_int(3, -1) + param_int(8, -5) + mask_params +
                             frames(3, [True, False], 3, 5))
    yield "mask_8ch_33bins", (bytes([3, 0]) + param_int(8, -1) + param_int(64, -5) + mask_params +
                              frames(3, [True, False], 8, 33, generated=True))


def main():
    for folder, seeds in (("audio", audio_seeds()), ("nodes", node_seeds())):
        target = os.path.join(HERE, "seeds", folder)
        os.makedirs(target, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(target, name), "wb") as f:
                f.write(data)
            print(f"{folder}/{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
