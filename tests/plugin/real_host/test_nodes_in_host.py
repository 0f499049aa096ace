"""The toolbox's nodes in a real FlowDesigner: built from network documents with their parameters,
fed a stream of frames through the host's own InputStream and Load nodes inside its iterator, and
compared bit for bit with the same nodes on the stand-in (the Python module)."""

from pathlib import Path

import numpy as np
import pytest

import flowdesigner as fd

import nimbusdale  # the stand-in build's module, on PYTHONPATH

CHANNELS, LENGTH, FRAMES = 3, 64, 40
BINS = LENGTH // 2 + 1
# Parameters a document gives; the rest take the defaults of the node descriptions.
RPCA = dict(NUM_CHANNEL=("int", CHANNELS), LENGTH=("int", LENGTH),
            SAMPLING_RATE=("int", 16000), LAMBDA=("float", 0.8), MAX_LANK=("int", 4))
INTEGRATORS = {
    "median": ("MedianIntegrator", {}),
    "poisson": ("PoissonGammaIntegrator", dict(GLOBAL_SCALE=("float", 2.0))),
    "mask": ("SparseMaskIntegrator", dict(GAIN_FLOOR=("float", 0.05))),
}


def spectra(seed):
    """Frames of a hum in every channel with bursts in some: something for the estimators to
    learn and something for them to leave out."""
    rng = np.random.default_rng(seed)
    hum = np.zeros(BINS)
    hum[[3, 6, 9]] = 4.0
    frames = []
    for t in range(FRAMES):
        noise = rng.standard_normal((CHANNELS, BINS)) + 1j * rng.standard_normal((CHANNELS, BINS))
        burst = 6.0 * (rng.random((CHANNELS, BINS)) < 0.1) if t % 7 == 3 else 0.0
        frames.append((0.3 * noise + hum + burst).astype(np.complex64))
    return frames


def streams(tmp_path, **files):
    """MAIN's nodes opening input (read) and output (write) streams on files in tmp_path."""
    items, links = [], []
    for name, (kind, filename) in files.items():
        items.append(fd.node(name + "_file", "Constant", VALUE=("string", tmp_path / filename)))
        items.append(fd.node(name, "InputStream" if kind == "in" else "OutputStream",
                             TYPE=("string", "stream")))
        links.append(fd.link(name + "_file", "VALUE", name, "INPUT"))
    return items + links


def chain_items():
    """The separation and every integrator on one stream of spectra, each output serialized."""
    items = [fd.node("load", "Load"), fd.node("rpca", "MultiRobustPCA", **RPCA),
             fd.link("load", "OUTPUT", "rpca", "INPUT"),
             fd.node("save_rpca", "Serialize"), fd.link("rpca", "OUTPUT", "save_rpca", "OBJECT"),
             '    <NetInput name="SPEC" node="load" terminal="STREAM"/>',
             '    <NetInput name="OUT_RPCA" node="save_rpca" terminal="STREAM"/>',
             '    <NetOutput name="RPCA" node="save_rpca" terminal="OUTPUT"/>']
    for key, (type_, params) in INTEGRATORS.items():
        items += [fd.node(key, type_, NUM_CHANNEL=("int", CHANNELS), LENGTH=("int", LENGTH),
                          **params),
                  fd.link("load", "OUTPUT", key, "SPEC"), fd.link("rpca", "OUTPUT", key, "SPARSE"),
                  fd.node("save_" + key, "Serialize"), fd.link(key, "OUTPUT", "save_" + key, "OBJECT"),
                  f'    <NetInput name="OUT_{key}" node="save_{key}" terminal="STREAM"/>',
                  f'    <NetOutput name="{key}" node="save_{key}" terminal="OUTPUT"/>']
    return items


def outputs_stream_links(target):
    return [fd.link("out_" + key, "OUTPUT", target, "OUT_" + key)
            for key in ["RPCA"] + list(INTEGRATORS)]


def output_files():
    return {"out_" + key: ("out", key + ".bin") for key in ["RPCA"] + list(INTEGRATORS)}


def netoutputs(node, names):
    return [f'    <NetOutput name="{n}" node="{node}" terminal="{n}"/>' for n in names]


def python_chain(frames):
    """The same nodes on the stand-in: the separation, then each integrator on its output."""
    rpca = nimbusdale.MultiRobustPCA(num_channel=CHANNELS, length=LENGTH, sampling_rate=16000,
                                     lambda_=0.8, max_rank=4, seed=1)
    return rpca.process_stream(np.stack(frames))


def python_integrators():
    return {
        "median": nimbusdale.MedianIntegrator(num_channel=CHANNELS, length=LENGTH),
        "poisson": nimbusdale.PoissonGammaIntegrator(num_channel=CHANNELS, length=LENGTH,
                                                     global_scale=2.0),
        "mask": nimbusdale.SparseMaskIntegrator(num_channel=CHANNELS, length=LENGTH,
                                                gain_floor=0.05),
    }


def read(tmp_path, key):
    return np.stack(fd.deserialize((tmp_path / (key + ".bin")).read_bytes()))


def test_every_node_runs_a_stream_in_the_hosts_iterator_as_on_the_stand_in(tmp_path, home):
    frames = spectra(1)
    (tmp_path / "spec.bin").write_bytes(fd.serialize(frames))
    names = ["RPCA"] + list(INTEGRATORS)
    doc = fd.document(
        fd.network("subnet", "MAIN", *streams(tmp_path, spec=("in", "spec.bin"), **output_files()),
                   fd.node("loop", "LOOP"), fd.link("spec", "OUTPUT", "loop", "SPEC"),
                   *outputs_stream_links("loop"), *netoutputs("loop", names)),
        fd.network("iterator", "LOOP", fd.counted_condition("more", FRAMES), *chain_items(),
                   '    <NetCondition name="CONDITION" node="more" terminal="OUTPUT"/>'))
    (tmp_path / "chain.n").write_text(doc)
    run = fd.batchflow(home, tmp_path / "chain.n")
    assert run.returncode == 0, run.stderr

    # One output of MultiRobustPCA feeds four consumers at every count: a second computation of
    # a count would have moved its estimators on, and nothing below would match.
    sparse = read(tmp_path, "RPCA")
    assert sparse.shape == (FRAMES, CHANNELS, BINS)
    np.testing.assert_array_equal(sparse, python_chain(frames))
    specs = np.stack(frames)
    for key, node in python_integrators().items():
        expected = node.process_stream(specs, sparse)
        np.testing.assert_array_equal(read(tmp_path, key)[:, 0, :], expected, err_msg=key)
    # The Poisson-Gamma integrator's two diagnostic lines a frame reach the host's output.
    assert run.stdout.count("\n") >= 2 * FRAMES


def test_the_hosts_reset_keeps_each_nodes_state(tmp_path, home):
    """An outer iterator runs the inner one twice: the host resets the inner nodes between the
    passes (their buffers), and counts start again from 0. Each node keeps its own state: the
    integrators go on as over one stream twice as long, and the separation goes on learning (its
    second pass differs from its first)."""
    frames = spectra(2)
    (tmp_path / "spec.bin").write_bytes(fd.serialize(frames))
    names = ["RPCA"] + list(INTEGRATORS)
    doc = fd.document(
        fd.network("subnet", "MAIN", *streams(tmp_path, **output_files()),
                   fd.node("passes", "PASSES"), *outputs_stream_links("passes"),
                   *netoutputs("passes", names)),
        fd.network("iterator", "PASSES", fd.counted_condition("again", 2),
                   *streams(tmp_path, spec=("in", "spec.bin")),
                   fd.node("loop", "LOOP"), fd.link("spec", "OUTPUT", "loop", "SPEC"),
                   *[f'    <NetInput name="OUT_{k}" node="loop" terminal="OUT_{k}"/>'
                     for k in names],
                   *netoutputs("loop", names),
                   '    <NetCondition name="CONDITION" node="again" terminal="OUTPUT"/>'),
        fd.network("iterator", "LOOP", fd.counted_condition("more", FRAMES), *chain_items(),
                   '    <NetCondition name="CONDITION" node="more" terminal="OUTPUT"/>'))
    (tmp_path / "passes.n").write_text(doc)
    run = fd.batchflow(home, tmp_path / "passes.n")
    assert run.returncode == 0, run.stderr

    sparse = read(tmp_path, "RPCA")
    assert sparse.shape == (2 * FRAMES, CHANNELS, BINS)
    np.testing.assert_array_equal(sparse[:FRAMES], python_chain(frames))
    assert not np.array_equal(sparse[FRAMES:], sparse[:FRAMES])
    specs = np.concatenate([np.stack(frames)] * 2)
    for key, node in python_integrators().items():
        np.testing.assert_array_equal(read(tmp_path, key)[:, 0, :],
                                      node.process_stream(specs, sparse), err_msg=key)


def single_node_document(tmp_path, frames_file, rpca_params):
    """MultiRobustPCA alone on the frames of `frames_file`, as many counts as it holds frames."""
    count = len(fd.deserialize((tmp_path / frames_file).read_bytes()))
    return fd.document(
        fd.network("subnet", "MAIN", *streams(tmp_path, spec=("in", frames_file)),
                   fd.node("loop", "LOOP"), fd.link("spec", "OUTPUT", "loop", "SPEC"),
                   '    <NetOutput name="OUTPUT" node="loop" terminal="OUTPUT"/>'),
        fd.network("iterator", "LOOP", fd.counted_condition("more", count),
                   fd.node("load", "Load"), fd.node("rpca", "MultiRobustPCA", **rpca_params),
                   fd.link("load", "OUTPUT", "rpca", "INPUT"),
                   '    <NetInput name="SPEC" node="load" terminal="STREAM"/>',
                   '    <NetOutput name="OUTPUT" node="rpca" terminal="OUTPUT"/>',
                   '    <NetCondition name="CONDITION" node="more" terminal="OUTPUT"/>'))


@pytest.mark.parametrize("change, says", [
    (dict(LAMBDA=("float", -1)),
     "MultiRobustPCA 'rpca': parameter LAMBDA is -1; it must be finite and at least 0"),
    (dict(CUTOFF_FREQ=("float", 9000)),
     "MultiRobustPCA 'rpca': parameter CUTOFF_FREQ is 9000; it must lie between 0 and "
     "SAMPLING_RATE / 2 = 8000"),
    (dict(NUM_CHANNEL=("int", "")), "Missing Parameter: NUM_CHANNEL"),
    (dict(MAX_LANK=("float", 4)), "Cast error"),
])
def test_a_refused_parameter_stops_batchflow_with_the_nodes_message(tmp_path, home, change, says):
    (tmp_path / "spec.bin").write_bytes(fd.serialize(spectra(3)[:2]))
    (tmp_path / "bad.n").write_text(single_node_document(tmp_path, "spec.bin", {**RPCA, **change}))
    run = fd.batchflow(home, tmp_path / "bad.n")
    assert run.returncode != 0
    assert says in run.stderr, run.stderr


def test_a_refused_frame_stops_batchflow_naming_port_value_and_place(tmp_path, home):
    frames = spectra(4)[:3]
    frames[2][1, 5] = np.complex64(complex("nan+0j"))
    wrong_shape = np.zeros((CHANNELS + 1, BINS), np.complex64)
    for name, stream, says in [
            ("nan.bin", frames, "MultiRobustPCA 'rpca': input INPUT holds (nan,0) at channel 1, "
                                "bin 5; every value must have a finite magnitude"),
            ("shape.bin", [wrong_shape], "MultiRobustPCA 'rpca': input INPUT frame is 4 x 33; "
                                         "expected NUM_CHANNEL x bins = 3 x 33"),
            ("type.bin", [np.zeros((CHANNELS, BINS), np.float32)],
             "MultiRobustPCA 'rpca': input INPUT got a Matrix<float>; it takes a "
             "Matrix<complex<float>>")]:
        (tmp_path / name).write_bytes(fd.serialize(stream))
        (tmp_path / "bad.n").write_text(single_node_document(tmp_path, name, RPCA))
        run = fd.batchflow(home, tmp_path / "bad.n")
        assert run.returncode != 0, name
        assert says in run.stderr, run.stderr
