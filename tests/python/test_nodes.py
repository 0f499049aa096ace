import re

import numpy as np
import pytest

import nimbusdale


def spectra(frames=40, channels=4, length=256, seed=0):
    rng = np.random.default_rng(seed)
    bins = length // 2 + 1
    mag = 1 + np.abs(rng.standard_normal((frames, channels, bins)))
    phase = rng.uniform(-np.pi, np.pi, (frames, channels, bins))
    return (mag * np.exp(1j * phase)).astype(np.complex64)


def test_chain_shapes_dtypes_and_repr():
    specs = spectra()
    sep = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    med = nimbusdale.MedianIntegrator(num_channel=4, length=256)
    sparse = sep.process(specs[0])
    assert sparse.dtype == np.float32 and sparse.shape == (4, 129)
    out = med.process(specs[0], sparse)
    assert out.dtype == np.complex64 and out.shape == (129,)
    assert "MultiRobustPCA(num_channel=4, length=256" in repr(sep)
    assert "max_rank=" in repr(sep) and "[1 frames processed]" in repr(sep)
    assert sep.bins == 129 and med.num_channel == 4


def test_stream_agrees_with_frame_by_frame():
    specs = spectra()
    a = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    b = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    stream = a.process_stream(specs)
    singles = np.stack([b.process(s).copy() for s in specs])
    np.testing.assert_array_equal(stream, singles)

    pg1 = nimbusdale.PoissonGammaIntegrator(num_channel=4, length=256, global_scale=1.0)
    pg2 = nimbusdale.PoissonGammaIntegrator(num_channel=4, length=256, global_scale=1.0)
    out_stream = pg1.process_stream(specs, stream)
    out_single = np.stack([pg2.process(s, m).copy() for s, m in zip(specs, stream)])
    np.testing.assert_array_equal(out_stream, out_single)
    assert len(pg1.diagnostics) == 2 * len(specs)
    assert pg1.diagnostics == pg2.diagnostics


def test_non_contiguous_input_is_accepted():
    specs = spectra(frames=3)
    fortran = np.asfortranarray(specs[0])
    a = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    b = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    np.testing.assert_array_equal(a.process(fortran), b.process(specs[0]))


def test_error_paths():
    sep = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    with pytest.raises(TypeError, match="complex64"):
        sep.process(np.ones((4, 129), np.complex128))
    with pytest.raises(ValueError, match="2-D"):
        sep.process(np.ones(129, np.complex64))
    with pytest.raises(nimbusdale.NodeError, match="INPUT"):
        sep.process(np.ones((3, 129), np.complex64))
    bad = np.ones((4, 129), np.complex64)
    bad[1, 7] = np.inf
    with pytest.raises(ValueError):
        sep.process(bad)
    with pytest.raises(nimbusdale.NodeError, match="MAX_LANK"):
        nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, max_rank=0)
    with pytest.raises(ValueError, match="NUM_CHANNEL"):
        nimbusdale.MedianIntegrator(num_channel=0, length=256)
    pg = nimbusdale.PoissonGammaIntegrator(num_channel=2, length=8, global_scale=1.0)
    with pytest.raises(ValueError, match="SPARSE"):
        pg.process(np.ones((2, 5), np.complex64), -np.ones((2, 5), np.float32))
    assert pg.diagnostics == []
    assert issubclass(nimbusdale.NodeError, ValueError)


def test_refused_frames_do_not_disturb_the_stream():
    specs = spectra(frames=6)
    a = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    b = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    with pytest.raises(ValueError):
        a.process(np.full((4, 129), np.nan, np.complex64))
    np.testing.assert_array_equal(a.process_stream(specs), b.process_stream(specs))


# The keywords callers have used since the node classes first appeared; the tables may add
# parameters but must not rename these.
KEYWORDS = {
    "MultiRobustPCA": ["num_channel", "length", "cutoff_freq", "sampling_rate", "global_scale",
                       "lambda_", "scale_update_ratio", "max_rank", "epsilon"],
    "MedianIntegrator": ["num_channel", "length"],
    "PoissonGammaIntegrator": ["num_channel", "length", "global_scale"],
    "SparseMaskIntegrator": ["num_channel", "length", "snr_smoothing", "noise_overestimation",
                             "gain_floor", "spatial_weight", "spatial_smoothing"],
}


def other_value(p):
    """A value of parameter p other than its typical one, exact in its host type."""
    return p["typical"] + 1 if p["type"] == "int" else p["typical"] / 2


def below_lower_limit(p):
    value, inclusive = p["lower"]
    if p["type"] == "int":
        return int(value) - 1 if inclusive else int(value)
    v = np.float32(value)
    return float(np.nextafter(v, np.float32(-np.inf)) if inclusive else v)


def test_every_node_parameter_is_reachable_from_python():
    types = nimbusdale.node_types()
    # Keywords users write stay; new parameters add to them.
    for name, keywords in KEYWORDS.items():
        have = [p["keyword"] for t in types if t["name"] == name for p in t["parameters"]]
        assert set(keywords) <= set(have), name
    for t in types:
        cls = getattr(nimbusdale, t["name"])
        assert issubclass(cls, nimbusdale.Node)
        required = {p["keyword"]: p["typical"] for p in t["parameters"] if p["required"]}
        typical = cls(**required)
        for p in t["parameters"]:
            kw = p["keyword"]
            where = (t["name"], kw)
            assert getattr(typical, kw) == p["typical"], where
            assert f"{kw} ({p['name']}, {p['type']}, " in cls.__doc__, where
            value = other_value(p)
            node = cls(**{**required, kw: value})
            assert getattr(node, kw) == value, where
            assert f"{kw}={value:g}" in repr(node), where
            if p["lower"] is not None:
                refusal = (f"^{t['name']}: parameter {p['name']} is .*; "
                           f"it must {re.escape(p['requirement'])}")
                with pytest.raises(nimbusdale.NodeError, match=refusal):
                    cls(**{**required, kw: below_lower_limit(p)})
            if p["type"] == "int":
                with pytest.raises(TypeError):  # no conversion from float, as in the host
                    cls(**{**required, kw: float(p["typical"])})


def test_sparse_mask_integrator_keeps_channel_zeros_phase_and_its_state():
    specs = spectra(frames=12)
    sep = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
    sparses = sep.process_stream(specs)
    a = nimbusdale.SparseMaskIntegrator(num_channel=4, length=256)
    b = nimbusdale.SparseMaskIntegrator(num_channel=4, length=256, snr_smoothing=0.0)
    out = a.process_stream(specs, sparses)
    assert out.dtype == np.complex64 and out.shape == (12, 129)
    gain = out / specs[:, 0]
    np.testing.assert_allclose(gain.imag, 0, atol=1e-5)
    assert np.all(gain.real >= a.gain_floor - 1e-6) and np.all(gain.real <= 1 + 1e-6)
    # The decision-directed smoothing carries the clean estimate over: frame by frame on a fresh
    # node gives the same, and without the smoothing later frames differ.
    fresh = nimbusdale.SparseMaskIntegrator(num_channel=4, length=256)
    singles = np.stack([fresh.process(s, m).copy() for s, m in zip(specs, sparses)])
    np.testing.assert_array_equal(out, singles)
    plain = b.process_stream(specs, sparses)
    np.testing.assert_array_equal(out[0] != 0, plain[0] != 0)
    assert not np.array_equal(out[1:], plain[1:])
    with pytest.raises(nimbusdale.NodeError, match="SPARSE holds -1"):
        a.process(specs[0], -np.ones((4, 129), np.float32))
    with pytest.raises(nimbusdale.NodeError, match="SNR_SMOOTHING is 1"):
        nimbusdale.SparseMaskIntegrator(num_channel=4, snr_smoothing=1.0)
