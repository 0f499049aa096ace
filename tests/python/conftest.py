"""Shared helpers for the nimbusdale module tests."""
import os
import struct
import wave

import numpy as np
import pytest


def read_wav(path):
    """(samples, channels) float32 from a 16-bit PCM or 32-bit float WAV file."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    pos, fmt, payload = 12, None, None
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = data[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif tag == b"data":
            payload = body
        pos += 8 + size + (size & 1)
    _, channels, rate, _, _, bits = fmt
    if bits == 32:  # libsndfile writes 32-bit samples as IEEE float here
        x = np.frombuffer(payload, dtype="<f4")
    else:
        x = np.frombuffer(payload, dtype="<i2").astype(np.float32) / np.float32(32768)
    return x.reshape(-1, channels).astype(np.float32), rate


def write_pcm16(path, x, rate):
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def hum_and_bursts(seconds=1.5, rate=16000, channels=4):
    """Steady 120 Hz hum with harmonics in every channel plus sparse 1.2 kHz tone bursts."""
    t = np.arange(int(seconds * rate)) / rate
    bursts = np.where((t > 0.5) & ((t % 0.5) >= 0.25) & ((t % 0.5) < 0.33),
                      0.3 * np.sin(2 * np.pi * 1200 * t), 0.0)
    x = np.zeros((len(t), channels))
    for c in range(channels):
        hum = sum(0.15 / k * np.sin(2 * np.pi * 120 * k * t + 0.3 * k * c) for k in range(1, 13))
        x[:, c] = hum + bursts
    return x.astype(np.float32), bursts.astype(np.float32)


@pytest.fixture
def tool():
    path = os.environ.get("NIMBUSDALE_TOOL")
    if not path or not os.path.exists(path):
        pytest.skip("the nimbusdale tool is not built")
    return path
