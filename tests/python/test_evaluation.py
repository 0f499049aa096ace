"""The evaluation's own measures (bench/speech_metrics.py) and its LSA peer (bench/lsa_denoise.py):
STOI against properties of its definition, SI-SDR and SDR against `nimbusdale score`."""
import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import speech_metrics as sm  # noqa: E402

RATE = 16000


def speechlike(seconds=4.0, seed=0):
    """Voiced 'words' with a gliding pitch, moving formants and syllable rhythm, separated by
    pauses of exact zeros (0.3 s, starting every 0.9 s)."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * RATE)) / RATE
    f0 = 120 + 25 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    formant = 700 + 500 * np.sin(2 * np.pi * 1.3 * t)
    x = np.zeros_like(t)
    for k in range(1, 33):
        bump = np.exp(-0.5 * ((k * f0 - formant) / 300) ** 2) + 0.3 * np.exp(
            -0.5 * ((k * f0 - 2500) / 400) ** 2)
        x += bump / k**0.5 * np.sin(k * phase + rng.uniform(0, 2 * np.pi))
    syllables = 0.2 + np.sin(np.pi * 4.0 * t) ** 2
    words = ((t % 0.9) < 0.6).astype(float)
    return 0.1 * x * syllables * words


def with_noise(x, snr_db, seed=1):
    n = np.random.default_rng(seed).standard_normal(len(x))
    return x + n * np.sqrt(np.sum(x**2) / np.sum(n**2) / 10 ** (snr_db / 10))


class TestStoi:
    def test_identical_signals_score_one(self):
        x = speechlike()
        assert sm.stoi(x, x, RATE) == pytest.approx(1.0, abs=1e-9)

    def test_falls_steadily_as_noise_rises(self):
        x = speechlike()
        scores = [sm.stoi(x, with_noise(x, snr), RATE) for snr in (20, 10, 5, 0, -5, -10, -20)]
        scores.append(sm.stoi(x, np.random.default_rng(5).standard_normal(len(x)), RATE))
        assert all(a > b for a, b in zip(scores, scores[1:])), scores
        assert scores[0] > 0.95 and scores[-1] < 0.4

    def test_blind_to_level_and_polarity(self):
        # Each band envelope is scaled to the clean one's energy before the correlation, and
        # envelopes are magnitudes: gain and sign of either signal change nothing.
        x = speechlike()
        y = with_noise(x, 0)
        reference = sm.stoi(x, y, RATE)
        assert sm.stoi(x, -3.7 * y, RATE) == pytest.approx(reference, abs=1e-9)
        assert sm.stoi(0.05 * x, y, RATE) == pytest.approx(reference, abs=1e-9)

    def test_silent_frames_are_left_out(self):
        # A second of digital silence inside a pause of the clean signal: those frames fall
        # more than 40 dB below the loudest and must not count, whatever the processed signal
        # holds there. Inserted at a multiple of 1024 samples (one 10 kHz hop after resampling)
        # and 16384 long, the frames that remain are the very same.
        x = speechlike()
        y = with_noise(x, 0)
        at = 13 * 1024  # 0.832 s, inside the pause from 0.6 s to 0.9 s
        assert not np.any(x[at - 1500:at + 1000])
        gap = np.zeros(16384)
        xs = np.concatenate([x[:at], gap, x[at:]])
        ys = np.concatenate([y[:at], 0.3 * np.random.default_rng(2).standard_normal(16384),
                             y[at:]])
        assert sm.stoi(xs, ys, RATE) == pytest.approx(sm.stoi(x, y, RATE), abs=1e-9)

    def test_refuses_what_it_cannot_score(self):
        x = speechlike()
        with pytest.raises(ValueError, match="30 frames"):
            sm.stoi(x[:3000], x[:3000], RATE)  # 0.19 s: fewer than 30 frames of 12.8 ms
        with pytest.raises(ValueError, match="equal length"):
            sm.stoi(x, x[:-1], RATE)
        with pytest.raises(ValueError, match="not finite"):
            sm.stoi(x, np.where(np.arange(len(x)) == 99, np.nan, x), RATE)

    def test_bands(self):
        matrix, centres = sm.third_octave_bands()
        assert len(centres) == 15 and centres[0] == 150.0
        assert centres[-1] == pytest.approx(150 * 2 ** (14 / 3))
        # Bands follow one another without overlap, and every band has bins.
        assert np.all(matrix.sum(axis=0) <= 1) and np.all(matrix.sum(axis=1) >= 1)


class TestResample:
    def test_keeps_the_pass_band_in_place_and_stops_aliases(self):
        t = np.arange(RATE) / RATE
        y = sm.resample(np.sin(2 * np.pi * 1234 * t), RATE, 10000)
        assert len(y) == 10000
        expected = np.sin(2 * np.pi * 1234 * np.arange(10000) / 10000)
        assert np.max(np.abs(y - expected)[300:-300]) < 0.01  # no delay, no loss
        # 7 kHz is above the new Nyquist frequency; it would fold to 3 kHz.
        alias = sm.resample(np.sin(2 * np.pi * 7000 * t), RATE, 10000)
        assert np.sqrt(np.mean(alias[300:-300] ** 2)) < 0.01 / np.sqrt(2)


class TestSdr:
    def test_known_values_and_alignment(self):
        s = speechlike(2.0)
        rng = np.random.default_rng(3)
        n = rng.standard_normal(len(s))
        sc, nc = s - s.mean(), n - n.mean()
        n = nc - np.dot(nc, sc) / np.dot(sc, sc) * sc  # zero-mean, orthogonal to s
        n *= np.sqrt(np.dot(sc, sc) / np.dot(n, n) / 10)  # 10 dB below s
        assert sm.si_sdr(s, 0.5 * (s + n)) == pytest.approx(10.0, abs=1e-9)
        assert sm.sdr(s, s + n) == pytest.approx(
            10 * np.log10(np.dot(s, s) / np.dot(n, n)), abs=1e-9)
        late = np.concatenate([np.zeros(37), s + n])
        r = sm.score(s, late, RATE)
        assert r["lag"] == 37 and r["si_sdr"] == pytest.approx(10.0, abs=0.05)
        with pytest.raises(ValueError, match="estimate is silent"):
            sm.si_sdr(s, np.zeros_like(s))

    def test_agrees_with_nimbusdale_score(self, tool, tmp_path):
        s = speechlike(2.0)
        rng = np.random.default_rng(4)
        for lag, gain, snr in ((0, 1.0, 5.0), (-120, 0.6, 0.0), (411, 1.3, -3.0),
                               (25, -0.8, 10.0)):
            e = gain * with_noise(s, snr, seed=int(rng.integers(100)))
            e = np.roll(e, lag)
            ref, est = tmp_path / "ref.wav", tmp_path / "est.wav"
            sm.write_wav(ref, s, RATE)
            sm.write_wav(est, e, RATE)
            out = subprocess.run([tool, "score", "--reference", str(ref), str(est)], check=True,
                                 capture_output=True, text=True).stdout
            theirs = dict(line.split()[:2] for line in out.splitlines())
            ours = sm.score(sm.read_wav(ref)[0][:, 0], sm.read_wav(est)[0][:, 0], RATE)
            assert ours["lag"] == int(theirs["lag"])
            assert ours["si_sdr"] == pytest.approx(float(theirs["SI-SDR"]), abs=0.006)
            assert ours["sdr"] == pytest.approx(float(theirs["SDR"]), abs=0.006)


class TestLsa:
    def test_removes_steady_noise_keeps_a_tone_and_silence(self):
        pytest.importorskip("scipy.special")
        import lsa_denoise
        rng = np.random.default_rng(6)
        t = np.arange(3 * RATE) / RATE
        tone = np.where(t >= 1.0, 0.1 * np.sin(2 * np.pi * 1000 * t), 0.0)
        noise = 0.01 * rng.standard_normal(len(t))
        x = np.concatenate([np.zeros(RATE // 2), tone + noise])  # leading digital silence
        y = lsa_denoise.enhance(x, RATE)
        # Nothing in the silence until a frame reaches the noise.
        assert not np.any(y[: RATE // 2 - 512])
        body = y[RATE // 2:]
        # Noise alone (after the first second of adaptation) comes out at least 10 dB lower.
        quiet = slice(int(0.3 * RATE), int(0.9 * RATE))
        assert np.mean(body[quiet] ** 2) < 0.1 * np.mean(noise[quiet] ** 2)
        # The tone, 27 dB above the noise in its bins, keeps its level and timing.
        loud = slice(int(1.5 * RATE), int(2.5 * RATE))
        assert sm.si_sdr(tone[loud], body[loud]) > 20
        assert np.std(body[loud]) == pytest.approx(np.std(tone[loud]), rel=0.05)


class TestExampleSets:
    """The held-out set must share the development set's conditions and nothing it speaks; the
    generator's noises and conversations are what the set's descriptions say."""

    @pytest.fixture(scope="class")
    def sets(self):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                        "examples"))
        import make_examples
        return make_examples, make_examples.ITEMS, make_examples.held_out(make_examples.ITEMS)

    def test_same_conditions(self, sets):
        _, dev, held = sets
        assert len(held) == len(dev)
        for d, h in zip(dev, held):
            assert d[:4] == h[:4] and d[6:] == h[6:]

    def test_no_voice_or_line_in_common(self, sets):
        m, dev, held = sets
        dev_lines = {line for item in dev for line in item[5]}
        dev_lines |= {line for _, lines in m.BABBLE + m.TALKERS for line in lines}
        held_lines = [line for item in held for line in item[5]]
        held_lines += [line for _, lines in m.BABBLE_HELD_OUT + m.TALKERS_HELD_OUT
                       for line in lines]
        assert len(set(held_lines)) == len(held_lines)
        assert all(len(item[5]) == 2 for item in held)
        assert not dev_lines & set(held_lines)
        dev_voices = {item[4] for item in dev} | {v for v, _ in m.BABBLE + m.TALKERS}
        held_voices = {item[4] for item in held}
        held_voices |= {v for v, _ in m.BABBLE_HELD_OUT + m.TALKERS_HELD_OUT}
        assert not dev_voices & held_voices
        # Every competing talker an item names exists in both sets.
        named = [item[6]["talker"] for item in dev if item[2] == "talker"]
        assert named and max(named) < min(len(m.TALKERS), len(m.TALKERS_HELD_OUT))

    def test_noises_are_what_they_claim(self, sets):
        m, _, _ = sets
        rng = np.random.default_rng(0)
        n = 8 * RATE
        f = np.fft.rfftfreq(n, 1.0 / RATE)

        def slope(x):  # dB per octave of the power, 100 Hz to 6.4 kHz
            power = np.abs(np.fft.rfft(x)) ** 2
            bands = [np.mean(power[(f >= lo) & (f < 2 * lo)]) for lo in 100 * 2.0 ** np.arange(6)]
            return np.polyfit(np.arange(6), 10 * np.log10(bands), 1)[0]

        assert slope(m.pink(n, rng)) == pytest.approx(-3.0, abs=0.5)
        assert slope(m.brown(n, rng)) == pytest.approx(-6.0, abs=0.5)
        for kind in ("ticks", "typing", "knocks"):
            x = m.noise_source(kind, n, rng)
            frames = np.sqrt(np.mean(x[: n // 160 * 160].reshape(-1, 160) ** 2, axis=1))
            # Loud impacts over a bed that never stops: peak frames far above the quietest.
            kurtosis = np.mean(x**4) / np.mean(x**2) ** 2
            assert kurtosis > 10, kind
            assert np.min(frames) > 0.05 * np.median(frames), kind
            assert np.max(frames) > 5 * np.median(frames), kind

    def test_dialogue_takes_turns_and_overlaps(self, sets):
        m, _, _ = sets
        words = [np.ones(int(s * RATE)) for s in (2.0, 1.5, 1.8, 2.2)]
        target, other = m.dialogue(words[:2], words[2:], np.random.default_rng(1))
        assert len(target) == len(other)
        t, o = target > 0, other > 0
        # Each talks alone, both talk at once, and the target's two sentences are whole.
        assert np.sum(t & ~o) > RATE and np.sum(o & ~t) > RATE
        assert 0.5 * RATE < np.sum(t & o) < 2.0 * RATE
        assert np.sum(t) == int(3.5 * RATE) and np.sum(o) == int(4.0 * RATE)
