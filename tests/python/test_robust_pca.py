import numpy as np
import pytest

import nimbusdale


def low_rank_plus_spikes(frames=400, dim=64, seed=0):
    rng = np.random.default_rng(seed)
    shapes = np.abs(rng.standard_normal((dim, 3))).astype(np.float32)
    t = np.arange(frames)
    weights = np.stack([1 + 0.3 * np.sin(2 * np.pi * t / p) for p in (50, 77, 130)], axis=1)
    low = (weights @ shapes.T).astype(np.float32)
    spikes = np.zeros_like(low)
    where = [(f, int(rng.integers(dim))) for f in range(100, frames, 7)]
    for f, k in where:
        spikes[f, k] = 5.0
    return low + spikes, spikes, where


def test_recovers_sparse_spikes_after_warm_up():
    z, spikes, where = low_rank_plus_spikes()
    est = nimbusdale.RobustPCA(z.shape[1], 3, seed=1)
    est.lambda1 = est.lambda2 = 2.0 / np.sqrt(z.shape[1])
    sparse = est.update_stream(z)
    late = slice(200, None)
    energy = np.sum(np.maximum(sparse[late], 0) ** 2)
    at_spikes = sum(max(sparse[f, k], 0) ** 2 for f, k in where if f >= 200)
    assert at_spikes / energy > 0.95
    for f, k in where:
        if f >= 200:
            assert sparse[f, k] > 4.0


def test_stream_matches_one_by_one_and_arrays_have_their_shapes():
    z, _, _ = low_rank_plus_spikes(frames=30, dim=16)
    a = nimbusdale.RobustPCA(16, 3, seed=5)
    b = nimbusdale.RobustPCA(16, 3, seed=5)
    stream = a.update_stream(z)
    singles = np.stack([b.update(row) for row in z])
    np.testing.assert_array_equal(stream, singles)
    assert stream.dtype == np.float32 and stream.shape == (30, 16)
    assert a.basis.shape == (16, 3) and a.coef.shape == (3,) and a.low_rank.shape == (16,)
    assert a.stat_a.shape == (3, 3) and a.stat_b.shape == (16, 3)
    np.testing.assert_allclose(a.stat_a, a.stat_a.T, rtol=1e-6)
    with pytest.raises(ValueError):
        a.basis[0, 0] = 1.0
    assert 1 <= a.passes <= 101
    assert "RobustPCA(dim=16, rank=3)" in repr(a)


def test_properties_and_defaults():
    est = nimbusdale.RobustPCA(100, 2)
    assert est.lambda1 == pytest.approx(0.008) and est.lambda2 == pytest.approx(0.008)
    assert est.epsilon == pytest.approx(1e-4)
    est.epsilon = 1e-3
    assert est.epsilon == pytest.approx(1e-3)
    assert est.low_rank.shape == (0,)


def test_error_paths_leave_the_estimator_unchanged():
    est = nimbusdale.RobustPCA(8, 2, seed=3)
    est.update(np.ones(8, np.float32))
    before = est.stat_b.copy()
    with pytest.raises(TypeError, match="float32"):
        est.update(np.ones(8))
    with pytest.raises(TypeError):
        est.update([1.0] * 8)
    with pytest.raises(ValueError, match="dim is 8"):
        est.update(np.ones(9, np.float32))
    with pytest.raises(ValueError, match="1-D"):
        est.update(np.ones((8, 1), np.float32))
    bad = np.ones(8, np.float32)
    bad[3] = np.nan
    with pytest.raises(ValueError):
        est.update(bad)
    np.testing.assert_array_equal(est.stat_b, before)
    with pytest.raises(ValueError):
        nimbusdale.RobustPCA(0, 2)
    with pytest.raises(ValueError):
        est.lambda2 = -1.0


def test_all_zero_observation_hits_the_cap_quietly(capfd):
    est = nimbusdale.RobustPCA(5, 2, seed=2)
    est.update(np.zeros(5, np.float32))
    assert est.passes == 101
    assert est.not_converged == 1
    assert "not converged" not in capfd.readouterr().out
