"""Python threads on shared and distinct objects, and concurrent enhance(): no crash, no lost
update, and the serial results bit for bit wherever the result does not depend on call order."""
import threading

import numpy as np

import nimbusdale
from conftest import hum_and_bursts
from test_nodes import spectra

ROUNDS = 3
THREADS = 4


def run_threads(targets):
    """Runs each callable on its own thread, all released at once; re-raises the first error."""
    start = threading.Barrier(len(targets))
    errors = []

    def wrap(fn):
        def body():
            start.wait()
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - reported on the main thread
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def separate(seed, specs):
    node = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=seed)
    out = node.process_stream(specs)
    return out, node.not_converged


def integrate(specs, sparse):
    node = nimbusdale.PoissonGammaIntegrator(num_channel=4, length=256, global_scale=1.0)
    return node.process_stream(specs, sparse), node.diagnostics


def estimate(seed, z):
    est = nimbusdale.RobustPCA(z.shape[1], 3, seed=seed)
    return est.update_stream(z), est.not_converged, est.basis


def test_distinct_objects_on_threads_give_the_serial_results():
    specs = spectra(frames=30)
    z = np.abs(spectra(frames=60, channels=1, length=62, seed=3)[:, 0, :]).astype(np.float32)
    seeds = list(range(1, THREADS + 1))
    serial_sep = [separate(s, specs) for s in seeds]
    serial_pg = integrate(specs, serial_sep[0][0])
    serial_rpca = [estimate(s, z) for s in seeds]
    for _ in range(ROUNDS):
        got_sep, got_pg, got_rpca = {}, {}, {}

        def sep_job(i):
            return lambda: got_sep.__setitem__(i, separate(seeds[i], specs))

        def pg_job(i):
            return lambda: got_pg.__setitem__(i, integrate(specs, serial_sep[0][0]))

        def rpca_job(i):
            return lambda: got_rpca.__setitem__(i, estimate(seeds[i], z))

        run_threads([sep_job(i) for i in range(THREADS)] + [pg_job(i) for i in range(2)] +
                    [rpca_job(i) for i in range(THREADS)])
        for i in range(THREADS):
            np.testing.assert_array_equal(got_sep[i][0], serial_sep[i][0])
            assert got_sep[i][1] == serial_sep[i][1]
            np.testing.assert_array_equal(got_rpca[i][0], serial_rpca[i][0])
            assert got_rpca[i][1] == serial_rpca[i][1]
            np.testing.assert_array_equal(got_rpca[i][2], serial_rpca[i][2])
        for i in range(2):
            np.testing.assert_array_equal(got_pg[i][0], serial_pg[0])
            assert got_pg[i][1] == serial_pg[1]


def test_one_object_shared_by_threads_loses_no_call():
    specs = spectra(frames=8)
    frames_each = 8
    for _ in range(ROUNDS):
        sep = nimbusdale.MultiRobustPCA(num_channel=4, length=256, sampling_rate=16000, seed=1)
        pg = nimbusdale.PoissonGammaIntegrator(num_channel=4, length=256, global_scale=1.0)
        est = nimbusdale.RobustPCA(129, 3, seed=2)
        med = nimbusdale.MedianIntegrator(num_channel=4, length=256)
        sparse = np.abs(specs).astype(np.float32)
        median_serial = med.process_stream(specs, sparse)
        median_got = []

        def worker():
            for t in range(frames_each):
                out = sep.process(specs[t])
                assert np.all(np.isfinite(out))
                pg.process(specs[t], out)
                est.update(np.abs(specs[t, 0]).astype(np.float32))
                median_got.append(med.process_stream(specs, sparse))
                repr(sep), sep.not_converged, pg.diagnostics, est.basis, est.passes

        run_threads([worker] * THREADS)
        total = frames_each * THREADS
        assert f"[{total} frames processed]" in repr(sep)
        assert f"[{total} frames processed]" in repr(pg)
        assert sep.diagnostics.count("not converged") == sep.not_converged
        assert len(pg.diagnostics) == 2 * total
        assert 1 <= est.passes <= 101 and np.all(np.isfinite(est.basis))
        np.testing.assert_allclose(est.stat_a, est.stat_a.T, rtol=1e-5)
        # The median keeps no state, so every call gives the serial answer.
        for got in median_got:
            np.testing.assert_array_equal(got, median_serial)


def test_concurrent_enhance_gives_the_serial_results():
    x, _ = hum_and_bursts(seconds=0.6)
    calls = [dict(integrator="median", seed=1, threads=1),
             dict(integrator="median", seed=7, threads=2),
             dict(integrator="poisson-gamma", seed=3, threads=1),
             dict(integrator="median", seed=1, threads=0, length=512, hop=128)]
    serial = [nimbusdale.enhance(x, 16000, **c) for c in calls]
    for _ in range(ROUNDS):
        got = {}

        def job(i):
            return lambda: got.__setitem__(i, nimbusdale.enhance(x, 16000, **calls[i]))

        run_threads([job(i) for i in range(len(calls))])
        for i, expected in enumerate(serial):
            np.testing.assert_array_equal(got[i], expected, err_msg=str(calls[i]))
    # One thread or two give the same bits.
    np.testing.assert_array_equal(nimbusdale.enhance(x, 16000, "median", seed=7, threads=1),
                                  serial[1])
