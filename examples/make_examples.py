#!/usr/bin/python3
"""Builds the example recordings: espeak-ng speech in steady or periodic noise, 16 kHz.

Each item is a folder with noisy.wav (4 or 8 channels, small delays between channels) and
clean.wav (the speech alone as channel 0 hears it). Run with Debian's /usr/bin/python3; needs
python3-numpy, espeak-ng and sox. Deterministic: the same files every run.

    /usr/bin/python3 examples/make_examples.py [OUTDIR]   (default: examples/)
"""
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

RATE = 16000

ITEMS = [
    # name, channels, noise, SNR at channel 0 in dB, voice, sentences
    ("demo", 4, "motor", 0.0, "en-us",
     ["The robot heard a voice above the motor noise. Please bring the red box."]),
    ("fan_8ch", 8, "fan", 0.0, "en-gb",
     ["Turn left at the next corner and stop by the door.", "Seven green lights are on."]),
    ("hum_4ch", 4, "hum", -5.0, "en-us",
     ["Mains hum hides the quiet parts of speech.", "Can you still understand me now?"]),
    ("broadband_4ch", 4, "broadband", 5.0, "en-gb",
     ["Steady broadband noise is the hardest case.", "It changes slowly, but covers every bin."]),
]


def speech(voice, sentences):
    parts = []
    with tempfile.TemporaryDirectory() as tmp:
        for i, text in enumerate(sentences):
            raw, resampled = os.path.join(tmp, f"{i}.wav"), os.path.join(tmp, f"{i}_16k.wav")
            subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "-w", raw, text], check=True)
            subprocess.run(["sox", "-D", raw, "-r", str(RATE), "-c", "1", "-b", "16", resampled],
                           check=True)
            with wave.open(resampled) as w:
                x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0
            parts += [np.zeros(int(0.4 * RATE)), x]
    parts.append(np.zeros(int(0.4 * RATE)))
    return np.concatenate(parts)


def harmonic(n, f0, top, rng, wobble):
    t = np.arange(n) / RATE
    # Slow frequency drift and amplitude modulation, as a motor under load gives.
    phase = 2 * np.pi * np.cumsum(f0 * (1 + wobble * np.sin(2 * np.pi * 0.3 * t))) / RATE
    x = np.zeros(n)
    for k in range(1, int(top / f0) + 1):
        x += (1.0 / k) * np.sin(k * phase + rng.uniform(0, 2 * np.pi))
    return x * (1 + 0.2 * np.sin(2 * np.pi * 0.7 * t))


def coloured(n, rng, smooth):
    x = rng.standard_normal(n)
    # One-pole low-pass: steady broadband noise with more energy low down.
    y = np.empty(n)
    acc = 0.0
    for i in range(n):
        acc = smooth * acc + (1 - smooth) * x[i]
        y[i] = acc
    return y / np.std(y)


def noise_source(kind, n, rng):
    if kind == "motor":
        return harmonic(n, 97.0, 4000, rng, 0.01) + 0.3 * coloured(n, rng, 0.6)
    if kind == "fan":
        return 0.6 * harmonic(n, 180.0, 3000, rng, 0.002) + coloured(n, rng, 0.8)
    if kind == "hum":
        return harmonic(n, 50.0, 2500, rng, 0.0) + 0.1 * rng.standard_normal(n)
    if kind == "broadband":
        return coloured(n, rng, 0.3)
    raise ValueError(kind)


def delayed(x, d):
    return np.concatenate([np.zeros(d), x[: len(x) - d]]) if d else x.copy()


def write_wav(path, x):
    x = np.atleast_2d(x.T).T if x.ndim == 1 else x
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def make(outdir, name, channels, kind, snr_db, voice, sentences, seed):
    rng = np.random.default_rng(seed)
    s = 0.3 * speech(voice, sentences)
    n = len(s)
    noise = noise_source(kind, n + 16, rng)
    speech_delays = rng.integers(0, 4, channels)
    speech_delays[0] = 0
    noise_delays = rng.integers(0, 8, channels)
    noise_gain = np.sqrt(np.sum(s**2) / np.sum(noise[:n] ** 2) / 10 ** (snr_db / 10))
    mix = np.zeros((n, channels))
    for c in range(channels):
        sensor = 0.002 * rng.standard_normal(n)
        mix[:, c] = (delayed(s, int(speech_delays[c]))
                     + noise_gain * (0.9 + 0.2 * rng.random()) * delayed(noise[:n], int(noise_delays[c]))
                     + sensor)
    peak = np.max(np.abs(mix))
    scale = 0.9 / peak if peak > 0.9 else 1.0
    folder = os.path.join(outdir, name)
    os.makedirs(folder, exist_ok=True)
    write_wav(os.path.join(folder, "noisy.wav"), mix * scale)
    write_wav(os.path.join(folder, "clean.wav"), s * scale)
    print(f"{folder}: {channels} channels, {n / RATE:.2f} s, {kind} noise at {snr_db:+.0f} dB")


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for seed, item in enumerate(ITEMS):
        make(outdir, *item, seed=seed)


if __name__ == "__main__":
    main()
