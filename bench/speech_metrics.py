"""Objective scores of an enhanced recording against its clean reference: SI-SDR and SDR (as
`nimbusdale score` computes them, same alignment) and STOI, plus the WAV reading they need.

STOI is the short-time objective intelligibility measure of Taal, Hendriks, Heusdens and Jensen
(2011), written from its published definition: both signals resampled to 10 kHz; 256-sample Hann
frames with 50% overlap; frames more than 40 dB below the clean signal's loudest frame dropped
from both signals; 512-point DFTs grouped into 15 one-third-octave bands, the lowest centred at
150 Hz; envelopes over 30 frames (384 ms); the processed envelope scaled to the clean one's
energy and clipped at beta = -15 dB signal-to-distortion; the correlation of the two envelopes
averaged over bands and segments. Only NumPy is needed.
"""
import math
import struct

import numpy as np

STOI_RATE = 10000
STOI_FRAME = 256
STOI_FFT = 512
STOI_BANDS = 15
STOI_LOWEST_CENTRE = 150.0
STOI_SEGMENT = 30
STOI_BETA_DB = -15.0
STOI_RANGE_DB = 40.0

_EPS = np.finfo(np.float64).eps


def read_wav(path):
    """(samples, rate): samples as float64 (frames, channels) from a PCM 16/24/32-bit or IEEE
    float WAV file, PCM scaled so full scale is 1."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path} is not a WAV file")
    pos, fmt, payload = 12, None, None
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = data[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
            if fmt[0] == 0xFFFE and len(body) >= 26:  # WAVE_FORMAT_EXTENSIBLE: the real tag
                fmt = (struct.unpack("<H", body[24:26])[0],) + fmt[1:]
        elif tag == b"data":
            payload = body
        pos += 8 + size + (size & 1)
    if fmt is None or payload is None:
        raise ValueError(f"{path} has no fmt or data chunk")
    tag, channels, rate, _, _, bits = fmt
    if tag == 3 and bits == 32:
        x = np.frombuffer(payload, dtype="<f4").astype(np.float64)
    elif tag == 3 and bits == 64:
        x = np.frombuffer(payload, dtype="<f8").copy()
    elif tag == 1 and bits == 16:
        x = np.frombuffer(payload, dtype="<i2") / 32768.0
    elif tag == 1 and bits == 24:
        raw = np.frombuffer(payload[: len(payload) // 3 * 3], dtype=np.uint8).reshape(-1, 3)
        x = (raw[:, 0].astype(np.int32) | raw[:, 1].astype(np.int32) << 8
             | raw[:, 2].astype(np.int8).astype(np.int32) << 16) / 8388608.0
    elif tag == 1 and bits == 32:
        x = np.frombuffer(payload, dtype="<i4") / 2147483648.0
    else:
        raise ValueError(f"{path}: unsupported WAV sample format {tag} with {bits} bits")
    frames = len(x) // channels
    return x[: frames * channels].reshape(frames, channels), rate


def write_wav(path, x, rate):
    """Writes mono or (frames, channels) float samples as 16-bit PCM, clipped to full scale."""
    x = np.asarray(x, dtype=np.float64)
    x = x[:, None] if x.ndim == 1 else x
    pcm = np.clip(np.round(x * 32768.0), -32768, 32767).astype("<i2")
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + pcm.nbytes, b"WAVE", b"fmt ", 16, 1,
                         x.shape[1], rate, rate * 2 * x.shape[1], 2 * x.shape[1], 16, b"data",
                         pcm.nbytes)
    with open(path, "wb") as f:
        f.write(header + pcm.tobytes())


def _check(x, what):
    x = np.asarray(x, dtype=np.float64)
    if x.ndim != 1 or x.size == 0:
        raise ValueError(f"the {what} must be a non-empty mono signal")
    if not np.all(np.isfinite(x)):
        raise ValueError(f"the {what} holds a value that is not finite")
    return x


def best_lag(reference, estimate, max_lag):
    """The lag in [-max_lag, max_lag] with the largest cross-correlation
    sum_n reference[n] * estimate[n + lag] (the smallest such lag on a tie)."""
    size = 1 << int(math.ceil(math.log2(len(reference) + len(estimate))))
    corr = np.fft.irfft(np.conj(np.fft.rfft(reference, size)) * np.fft.rfft(estimate, size), size)
    lags = np.arange(-max_lag, max_lag + 1)
    # Only lags at which the signals overlap at all.
    lags = lags[(lags < len(estimate)) & (-lags < len(reference))]
    if lags.size == 0:
        raise ValueError("the signals do not overlap at any lag")
    return int(lags[np.argmax(corr[lags % size])])


def aligned(reference, estimate, max_lag):
    """(reference part, estimate part, lag): the overlapping samples at the best lag."""
    reference, estimate = _check(reference, "reference"), _check(estimate, "estimate")
    lag = best_lag(reference, estimate, max(0, int(max_lag)))
    first, last = max(0, -lag), min(len(reference), len(estimate) - lag)
    return reference[first:last], estimate[first + lag:last + lag], lag


def _db(signal, noise):
    if noise <= 0:
        return math.inf
    if signal <= 0:
        return -math.inf
    return 10.0 * math.log10(signal / noise)


def si_sdr(reference, estimate):
    """Scale-invariant SDR in dB of two aligned signals of equal length, both made zero-mean."""
    s = reference - np.mean(reference)
    e = estimate - np.mean(estimate)
    if not np.dot(s, s) > 0:
        raise ValueError("SI-SDR is undefined: the reference is silent")
    if not np.dot(e, e) > 0:
        raise ValueError("SI-SDR is undefined: the estimate is silent")
    target = (np.dot(s, e) / np.dot(s, s)) * s
    return _db(np.dot(target, target), np.dot(e - target, e - target))


def sdr(reference, estimate):
    """Plain SDR in dB of two aligned signals: 10 log10(|s|^2 / |s - e|^2)."""
    return _db(np.dot(reference, reference), np.dot(reference - estimate, reference - estimate))


def resample(x, rate_in, rate_out):
    """x at rate_out, by the reduced ratio up/down: zeros stuffed between samples, a Kaiser-
    windowed sinc low-pass (cut-off at the lower of the two Nyquist frequencies), every down-th
    sample kept; the filter's delay is compensated, so the signals stay aligned."""
    x = np.asarray(x, dtype=np.float64)
    g = math.gcd(int(rate_in), int(rate_out))
    up, down = int(rate_out) // g, int(rate_in) // g
    if up == down:
        return x.copy()
    factor = max(up, down)
    half = 10 * factor
    n = np.arange(-half, half + 1)
    h = np.sinc(n / factor) * np.kaiser(2 * half + 1, 5.0) * (up / factor)
    stuffed = np.zeros(len(x) * up)
    stuffed[::up] = x
    out_len = -(-len(x) * up // down)
    return np.convolve(stuffed, h)[half::down][:out_len]


def _hann(n):
    # Hann window without its zero end points: 0.5 - 0.5 cos(2 pi k / (n + 1)), k = 1..n.
    return np.hanning(n + 2)[1:-1]


def _frames(x, length, hop):
    count = 1 + (len(x) - length) // hop if len(x) >= length else 0
    idx = np.arange(count)[:, None] * hop + np.arange(length)[None, :]
    return x[idx]


def remove_silent_frames(clean, processed, dynamic_range_db=STOI_RANGE_DB,
                         length=STOI_FRAME, hop=STOI_FRAME // 2):
    """Both signals rebuilt (windowed overlap-add) from only the frames in which the clean
    signal is within dynamic_range_db of its loudest frame."""
    w = _hann(length)
    cf, pf = _frames(clean, length, hop) * w, _frames(processed, length, hop) * w
    if len(cf) == 0:
        return np.zeros(0), np.zeros(0)
    energy = 20 * np.log10(np.linalg.norm(cf, axis=1) + _EPS)
    keep = energy > np.max(energy) - dynamic_range_db
    cf, pf = cf[keep], pf[keep]
    out_len = (len(cf) - 1) * hop + length
    c, p = np.zeros(out_len), np.zeros(out_len)
    for i in range(len(cf)):
        c[i * hop:i * hop + length] += cf[i]
        p[i * hop:i * hop + length] += pf[i]
    return c, p


def third_octave_bands(rate=STOI_RATE, fft=STOI_FFT, bands=STOI_BANDS,
                       lowest=STOI_LOWEST_CENTRE):
    """(matrix, centres): a (bands, fft/2+1) 0/1 matrix summing DFT bin powers into one-third-
    octave bands centred at lowest * 2^(k/3); each band runs from the bin nearest its lower edge
    (centre * 2^(-1/6)) up to, not including, the bin nearest its upper edge."""
    freqs = np.arange(fft // 2 + 1) * rate / fft
    centres = lowest * 2.0 ** (np.arange(bands) / 3.0)
    matrix = np.zeros((bands, len(freqs)))
    for j, fc in enumerate(centres):
        lo = int(np.argmin(np.abs(freqs - fc * 2 ** (-1 / 6))))
        hi = int(np.argmin(np.abs(freqs - fc * 2 ** (1 / 6))))
        matrix[j, lo:hi] = 1.0
    return matrix, centres


def _band_envelopes(x):
    frames = _frames(x, STOI_FRAME, STOI_FRAME // 2) * _hann(STOI_FRAME)
    power = np.abs(np.fft.rfft(frames, STOI_FFT, axis=1)) ** 2
    matrix, _ = third_octave_bands()
    return np.sqrt(matrix @ power.T)  # (bands, frames)


def stoi(clean, processed, rate):
    """STOI of `processed` against `clean` (same length and rate), between about 0 and 1.
    Raises ValueError when fewer than 30 frames remain once silent frames are dropped."""
    clean, processed = _check(clean, "clean signal"), _check(processed, "processed signal")
    if len(clean) != len(processed):
        raise ValueError(f"STOI needs signals of equal length, not {len(clean)} and "
                         f"{len(processed)} samples")
    if rate != STOI_RATE:
        clean, processed = resample(clean, rate, STOI_RATE), resample(processed, rate, STOI_RATE)
    clean, processed = remove_silent_frames(clean, processed)
    x, y = _band_envelopes(clean), _band_envelopes(processed)
    if x.shape[1] < STOI_SEGMENT:
        raise ValueError(f"STOI needs at least {STOI_SEGMENT} frames that are not silent; the "
                         f"clean signal has {x.shape[1]}")
    # Every run of 30 consecutive frames: (bands, segments, 30).
    xs = np.lib.stride_tricks.sliding_window_view(x, STOI_SEGMENT, axis=1)
    ys = np.lib.stride_tricks.sliding_window_view(y, STOI_SEGMENT, axis=1)
    scale = np.linalg.norm(xs, axis=2, keepdims=True) / (
        np.linalg.norm(ys, axis=2, keepdims=True) + _EPS)
    clip = 1 + 10 ** (-STOI_BETA_DB / 20)
    yn = np.minimum(scale * ys, clip * xs)
    xc = xs - np.mean(xs, axis=2, keepdims=True)
    yc = yn - np.mean(yn, axis=2, keepdims=True)
    corr = np.sum(xc * yc, axis=2) / (
        np.linalg.norm(xc, axis=2) * np.linalg.norm(yc, axis=2) + _EPS)
    return float(np.mean(corr))


def score(reference, estimate, rate, max_lag_ms=50.0):
    """dict(si_sdr, sdr, stoi, lag): the estimate aligned to the reference as `nimbusdale
    score` aligns it (largest cross-correlation within max_lag_ms), then scored on the
    overlapping samples."""
    max_lag = int(max_lag_ms * 1e-3 * rate)
    r, e, lag = aligned(reference, estimate, max_lag)
    return {"si_sdr": si_sdr(r, e), "sdr": sdr(r, e), "stoi": stoi(r, e, rate), "lag": lag}
