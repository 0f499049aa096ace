"""nimbusdale.Enhancer: block-by-block enhancement equals enhance() on the whole signal bit for
bit, whatever the blocks; refused blocks leave the stream going; ended streams refuse calls."""
import threading

import numpy as np
import pytest

import nimbusdale
from conftest import hum_and_bursts

RATE = 16000
CHANNELS = 3
GEOMETRY = dict(length=256, hop=64)
INTEGRATORS = ("median", "poisson-gamma", "mask")


def signal(seconds=0.3, channels=CHANNELS):
    x, _ = hum_and_bursts(seconds=seconds, rate=RATE, channels=channels)
    rng = np.random.default_rng(5)
    return (x + 0.02 * rng.standard_normal(x.shape)).astype(np.float32)


_reference = {}


def reference(x, integrator, **options):
    """enhance() of the whole signal, computed once per signal and options."""
    key = (x.tobytes(), x.shape, integrator, tuple(sorted(options.items())))
    if key not in _reference:
        _reference[key] = nimbusdale.enhance(x, RATE, integrator, **options)
    return _reference[key]


def cuts(total, sizes):
    """Block boundaries: `sizes` is an int, "all", or "random"."""
    if sizes == "all":
        return [0, total]
    if sizes == "random":
        rng = np.random.default_rng(11)
        edges = [0]
        while edges[-1] < total:  # empty blocks included
            edges.append(min(total, edges[-1] + int(rng.integers(0, 400))))
        return edges
    return list(range(0, total, sizes)) + [total]


def stream(x, integrator, blocks, **options):
    """Feeds x in the given blocks; returns the concatenated output and the Enhancer, checking
    each returned piece and the bound on how long a sample waits."""
    e = nimbusdale.Enhancer(x.shape[1], RATE, integrator, **options)
    pieces = []
    edges = cuts(len(x), blocks)
    for a, b in zip(edges[:-1], edges[1:]):
        y = e.process(x[a:b])
        assert y.dtype == np.float32 and y.ndim == 1
        pieces.append(y)
        assert e.samples_in == b
        assert e.samples_out == sum(len(p) for p in pieces)
        assert e.samples_in - e.samples_out <= e.latency_samples
    rest = e.flush()
    assert rest.dtype == np.float32 and rest.ndim == 1
    pieces.append(rest)
    return np.concatenate(pieces), e


@pytest.mark.parametrize("integrator", INTEGRATORS)
@pytest.mark.parametrize("blocks", [1, 7, GEOMETRY["hop"], 1000, "all", "random"])
def test_blocks_concatenated_equal_enhance_bit_for_bit(integrator, blocks):
    x = signal()
    y, e = stream(x, integrator, blocks, **GEOMETRY)
    np.testing.assert_array_equal(y, reference(x, integrator, **GEOMETRY))
    assert e.samples_in == e.samples_out == len(x)
    assert e.frames > 0 and e.not_converged >= 0


@pytest.mark.parametrize("integrator", INTEGRATORS)
@pytest.mark.parametrize("samples", [0, 1, 100, GEOMETRY["length"] - 1])
def test_signals_shorter_than_a_frame_and_empty(integrator, samples):
    x = signal()[:samples]
    for blocks in (1, "all"):
        y, e = stream(x, integrator, blocks, **GEOMETRY)
        assert y.shape == (samples,)
        np.testing.assert_array_equal(y, reference(x, integrator, **GEOMETRY))
        assert e.samples_out == samples


def test_default_options_are_those_of_enhance():
    x = signal(seconds=0.5)
    e = nimbusdale.Enhancer(CHANNELS, RATE)
    assert (e.integrator, e.length, e.hop, e.latency_samples) == ("mask", 1024, 256, 1024)
    y = np.concatenate([e.process(x[:5000]), e.process(x[5000:]), e.flush()])
    np.testing.assert_array_equal(y, nimbusdale.enhance(x, RATE))


def test_options_reach_the_run():
    x = signal()
    options = dict(GEOMETRY, lambda_=0.5, max_rank=4, cutoff_freq=300.0, global_scale=0.8,
                   pg_global_scale=2.0, scale_update_ratio=0.01, epsilon=1e-2, threads=1, seed=9)
    for integrator in INTEGRATORS:
        y, _ = stream(x, integrator, 500, **options)
        np.testing.assert_array_equal(y, reference(x, integrator, **options))
        assert not np.array_equal(y, reference(x, integrator, **GEOMETRY))


def test_mono_takes_1d_and_2d_blocks_and_any_layout():
    x = signal(channels=1)
    want = reference(x, "median", **GEOMETRY)
    e = nimbusdale.Enhancer(1, RATE, "median", **GEOMETRY)
    y = [e.process(x[:1000, 0]), e.process(x[1000:2000]), e.process(x[2000:, 0].copy())]
    np.testing.assert_array_equal(np.concatenate(y + [e.flush()]), want)

    wide = signal()
    strided = np.asfortranarray(wide)  # not C-contiguous: copied, not misread
    e = nimbusdale.Enhancer(CHANNELS, RATE, "median", **GEOMETRY)
    y = [e.process(strided[:2000]), e.process(wide[2000:][::-1][::-1])]
    np.testing.assert_array_equal(np.concatenate(y + [e.flush()]),
                                  reference(wide, "median", **GEOMETRY))


@pytest.mark.parametrize("integrator", INTEGRATORS)
def test_refused_block_changes_nothing_and_the_stream_goes_on(integrator):
    x = signal()
    e = nimbusdale.Enhancer(CHANNELS, RATE, integrator, **GEOMETRY)
    out = [e.process(x[:1500])]
    for value, message in ((np.nan, "non-finite"), (np.inf, "non-finite"), (1e13, "")):
        bad = x[1500:1800].copy()
        bad[37, 2] = value
        with pytest.raises(ValueError, match=message):
            e.process(bad)
        assert (e.samples_in, e.samples_out) == (1500, sum(len(p) for p in out))
    with pytest.raises(ValueError, match="channels"):
        e.process(x[1500:1800, :2])
    with pytest.raises(TypeError, match="float32"):
        e.process(x[1500:1800].astype(np.float64))
    assert e.samples_in == 1500
    out += [e.process(x[1800:]), e.flush()]
    kept = np.concatenate([x[:1500], x[1800:]])
    np.testing.assert_array_equal(np.concatenate(out), reference(kept, integrator, **GEOMETRY))


def test_refused_sample_is_numbered_from_the_start_of_the_stream():
    x = signal()
    e = nimbusdale.Enhancer(CHANNELS, RATE, **GEOMETRY)
    e.process(x[:1000])
    bad = x[1000:1100].copy()
    bad[5, 1] = np.nan
    with pytest.raises(ValueError, match="1005"):
        e.process(bad)


def test_calls_after_flush_raise():
    x = signal()
    e = nimbusdale.Enhancer(CHANNELS, RATE, **GEOMETRY)
    e.process(x)
    e.flush()
    assert "flushed" in repr(e)
    with pytest.raises(RuntimeError, match="flushed"):
        e.process(x[:10])
    with pytest.raises(RuntimeError, match="flushed"):
        e.process(x[:0])
    with pytest.raises(RuntimeError, match="flushed"):
        e.flush()
    assert e.samples_in == e.samples_out == len(x)


def test_node_error_ends_the_stream_as_it_ends_enhance():
    loud = np.full((1000, 2), 1e11, np.float32)
    loud[::2] *= -1
    options = dict(GEOMETRY, pg_global_scale=1e30)
    with pytest.raises(nimbusdale.NodeError, match="overflow") as whole:
        nimbusdale.enhance(loud, RATE, "poisson-gamma", **options)
    e = nimbusdale.Enhancer(2, RATE, "poisson-gamma", **options)
    with pytest.raises(nimbusdale.NodeError) as streamed:
        e.process(loud)
    assert str(streamed.value) == str(whole.value)
    for call in (lambda: e.process(loud[:0]), e.flush):
        with pytest.raises(RuntimeError, match="earlier error ended the stream.*overflow"):
            call()
    assert "stopped by an error" in repr(e)


def test_wrong_blocks_and_options_raise():
    x = signal()
    e = nimbusdale.Enhancer(CHANNELS, RATE, **GEOMETRY)
    with pytest.raises(ValueError, match="2-D"):
        e.process(x[:, 0])
    with pytest.raises(ValueError, match="2-D"):
        e.process(x[None, :10])
    with pytest.raises(ValueError, match="channels"):
        e.process(np.zeros((10, CHANNELS + 1), np.float32))
    with pytest.raises(TypeError, match="NumPy array"):
        e.process(x[:10].tolist())
    mono = nimbusdale.Enhancer(1, RATE, **GEOMETRY)
    with pytest.raises(ValueError, match="channels"):
        mono.process(x[:10])
    with pytest.raises(ValueError, match="2-D"):
        mono.process(np.zeros((2, 3, 1), np.float32))
    assert e.samples_in == mono.samples_in == 0

    with pytest.raises(ValueError, match="channel"):
        nimbusdale.Enhancer(0, RATE)
    with pytest.raises(ValueError, match="100000 channels; the enhancement takes 1 to 256"):
        nimbusdale.Enhancer(100000, RATE)
    with pytest.raises(ValueError, match="integrator"):
        nimbusdale.Enhancer(CHANNELS, RATE, "mean")
    with pytest.raises(ValueError, match="hop"):
        nimbusdale.Enhancer(CHANNELS, RATE, hop=0)
    with pytest.raises(nimbusdale.NodeError, match="LAMBDA is -1"):
        nimbusdale.Enhancer(CHANNELS, RATE, lambda_=-1.0)
    with pytest.raises(TypeError):
        nimbusdale.Enhancer(CHANNELS, RATE, "median", 256)  # options past integrator are keywords


def test_properties_and_repr():
    e = nimbusdale.Enhancer(CHANNELS, RATE, "poisson-gamma", **GEOMETRY)
    assert (e.channels, e.sample_rate, e.integrator, e.length, e.hop) == (
        CHANNELS, RATE, "poisson-gamma", 256, 64)
    assert e.latency_samples == 256
    assert (e.samples_in, e.samples_out, e.frames, e.not_converged) == (0, 0, 0, 0)
    e.process(signal()[:1000])
    assert e.frames == 1000 // 64
    text = repr(e)
    for part in ("channels=3", "sample_rate=16000", "integrator='poisson-gamma'", "length=256",
                 "hop=64", "1000 samples in"):
        assert part in text


def test_streams_on_threads_give_the_serial_results():
    x = signal()
    want = {i: reference(x, i, **GEOMETRY) for i in INTEGRATORS}
    got, errors = {}, []

    def job(k):
        try:
            integrator = INTEGRATORS[k % 2]
            got[k] = (integrator, stream(x, integrator, 97 + k, **GEOMETRY)[0])
        except BaseException as e:  # noqa: BLE001 - reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=job, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for integrator, y in got.values():
        np.testing.assert_array_equal(y, want[integrator])

    # Readers on other threads while one thread feeds a stream: no deadlock between the GIL
    # and the object's lock, and the counts they see only grow.
    e = nimbusdale.Enhancer(CHANNELS, RATE, "poisson-gamma", **GEOMETRY)
    done = threading.Event()
    seen = []

    def reader():
        last = (0, 0, 0)
        while not done.is_set():
            now = (e.samples_in, e.samples_out, e.frames)
            repr(e)
            seen.append(all(a >= b for a, b in zip(now, last)))
            last = now

    readers = [threading.Thread(target=reader) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        pieces = [e.process(block) for block in np.array_split(x, 40)] + [e.flush()]
    finally:
        done.set()
        for t in readers:
            t.join()
    assert seen and all(seen)
    np.testing.assert_array_equal(np.concatenate(pieces), want["poisson-gamma"])
