"""A single-channel peer for the evaluation: the minimum mean-square error log-spectral amplitude
estimator of Ephraim and Malah (1985), from the paper's equations.

For every STFT bin of frame l, with noisy spectrum Y and noise power lambda_d:
    gamma = |Y|^2 / lambda_d                                 (a posteriori SNR)
    xi    = alpha |A(l-1)|^2 / lambda_d + (1 - alpha) max(gamma - 1, 0)
                                                            (decision-directed a priori SNR)
    v     = xi gamma / (1 + xi)
    G     = xi / (1 + xi) * exp(0.5 E1(v))                   (E1: the exponential integral)
    A     = G |Y|, with the noisy phase.
alpha = 0.98 and xi is kept above -25 dB (the usual floor against musical noise). The first
frame's a priori SNR is alpha + (1 - alpha) max(gamma - 1, 0).

The noise power is estimated once, from the first frames: the mean periodogram over the first
`noise_seconds` of the signal after any leading digital silence (exact zeros), and held for the
whole signal. Frames are 32 ms with 50% overlap under a square-root Hann window for analysis and
synthesis, which reconstructs the input exactly where the gain is 1.

Needs python3-scipy for E1 (scipy.special.exp1).
"""
import numpy as np

ALPHA = 0.98
XI_MIN_DB = -25.0


def _window(length):
    # Periodic Hann: its 50%-overlapped copies sum to one, so its square root analyses and
    # synthesises without error.
    return np.sqrt(0.5 - 0.5 * np.cos(2 * np.pi * np.arange(length) / length))


def lsa_gain(xi, gamma):
    """The log-spectral amplitude gain for a priori SNR xi and a posteriori SNR gamma."""
    from scipy.special import exp1
    v = np.maximum(xi * gamma / (1 + xi), 1e-12)
    return xi / (1 + xi) * np.exp(0.5 * exp1(v))


def first_sound(x):
    """Index of the first sample that is not exactly zero (len(x) if there is none)."""
    nonzero = np.flatnonzero(x)
    return int(nonzero[0]) if nonzero.size else len(x)


def enhance(x, rate, noise_seconds=0.3, frame_seconds=0.032):
    """The LSA estimate of the speech in the mono signal x (float, any rate)."""
    x = np.asarray(x, dtype=np.float64)
    length = int(round(frame_seconds * rate))
    length += length % 2
    hop = length // 2
    w = _window(length)
    # Half a frame of zeros at each end, so every sample is covered by two frames.
    padded = np.concatenate([np.zeros(hop), x, np.zeros(hop + length)])
    count = (len(padded) - length) // hop + 1
    idx = np.arange(count)[:, None] * hop + np.arange(length)[None, :]
    spectra = np.fft.rfft(padded[idx] * w, axis=1)
    power = np.abs(spectra) ** 2

    start = first_sound(x) + hop  # in padded samples
    end = start + int(noise_seconds * rate)
    first = -(-start // hop)
    noise_frames = [i for i in range(first, count) if i * hop + length <= end]
    if not noise_frames:  # shorter than one frame of noise: use the first frame with sound
        noise_frames = [min(first, count - 1)]
    noise = np.mean(power[noise_frames], axis=0)
    # A bin with no noise at all (digital silence, band-limited noise) would give infinite SNR.
    noise = np.maximum(noise, 1e-12 * max(np.max(noise), 1e-20))

    xi_min = 10 ** (XI_MIN_DB / 10)
    gains = np.zeros_like(power)
    previous = None  # |A(l-1)|^2 / lambda_d
    for i in range(count):
        gamma = power[i] / noise
        ml = np.maximum(gamma - 1, 0)
        xi = ALPHA * (1.0 if previous is None else previous) + (1 - ALPHA) * ml
        xi = np.maximum(xi, xi_min)
        g = lsa_gain(xi, gamma)
        gains[i] = g
        previous = g**2 * gamma

    frames = np.fft.irfft(spectra * gains, length, axis=1) * w
    out = np.zeros(len(padded))
    for i in range(count):
        out[i * hop:i * hop + length] += frames[i]
    return out[hop:hop + len(x)]
