"""nimbusdale.enhance_file and nimbusdale.distributed.enhance_files on a local Dask cluster of two
worker processes."""
import _thread
import fcntl
import json
import os
import pathlib
import subprocess
import threading

import numpy as np
import pytest

import nimbusdale
import nimbusdale.distributed
from conftest import hum_and_bursts, read_wav, write_pcm16

distributed = pytest.importorskip("distributed")

OPTIONS = dict(length=512, hop=128)
TOOL_OPTIONS = ["--length", "512", "--hop", "128"]


def make_corpus(root, files=("a.wav", "sub/b.wav", "sub/deeper/c.wav", "d.wav")):
    """Small recordings that differ from each other, one corrupt file, and a text file."""
    for i, name in enumerate(files):
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        x, _ = hum_and_bursts(seconds=0.5 + 0.1 * i, channels=2 + i % 3)
        x += np.random.default_rng(i).normal(0, 0.01, x.shape).astype(np.float32)
        write_pcm16(str(path), x, 16000)
    (root / "sub" / "broken.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEnot a recording")
    (root / "notes.txt").write_text("not audio")
    return list(files)


def enhanced_by_tool(tool, source, target):
    subprocess.run([tool, "enhance", "-q", str(source), "-o", str(target)] + TOOL_OPTIONS,
                   check=True)
    return read_wav(str(target))


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_enhance_file_writes_what_the_tool_writes(tool, tmp_path):
    make_corpus(tmp_path)
    record = nimbusdale.enhance_file(tmp_path / "sub/b.wav", tmp_path / "b.wav", **OPTIONS)
    assert record["output"] == str(tmp_path / "b.wav")
    assert record["channels"] == 3 and record["sample_rate"] == 16000
    assert record["duration"] == pytest.approx(0.6)
    assert record["realtime"] == pytest.approx(record["duration"] / record["seconds"])
    ours, rate = read_wav(str(tmp_path / "b.wav"))
    theirs, _ = enhanced_by_tool(tool, tmp_path / "sub/b.wav", tmp_path / "tool.wav")
    assert rate == 16000 and ours.shape == (9600, 1)
    assert same_bits(ours, theirs)

    nimbusdale.enhance_file(tmp_path / "sub/b.wav", tmp_path / "b16.wav", format="pcm16",
                            **OPTIONS)
    assert read_wav(str(tmp_path / "b16.wav"))[0].shape == (9600, 1)


def test_enhance_file_refusals_leave_no_output(tmp_path):
    make_corpus(tmp_path)
    with pytest.raises(RuntimeError, match="broken.wav"):
        nimbusdale.enhance_file(tmp_path / "sub/broken.wav", tmp_path / "out.wav")
    with pytest.raises(ValueError, match="hop"):
        nimbusdale.enhance_file(tmp_path / "a.wav", tmp_path / "out.wav", hop=0)
    with pytest.raises(ValueError, match="format"):
        nimbusdale.enhance_file(tmp_path / "a.wav", tmp_path / "out.wav", format="mp3")
    with pytest.raises(TypeError):
        nimbusdale.enhance_file(tmp_path / "a.wav", tmp_path / "out.wav", nonsense=1)
    with pytest.raises(RuntimeError, match="refusing to overwrite"):
        nimbusdale.enhance_file(tmp_path / "a.wav", tmp_path / "a.wav")
    assert not any(p.name.startswith("out.wav") for p in tmp_path.iterdir())


def test_ctrl_c_stops_enhance_file_without_a_partial_output(tmp_path):
    x = np.random.default_rng(0).normal(0, 0.1, (16000 * 60, 8)).astype(np.float32)
    write_pcm16(str(tmp_path / "long.wav"), x, 16000)
    # What a Ctrl-C does: SIGINT's flag is set while the enhancement runs.
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        nimbusdale.enhance_file(tmp_path / "long.wav", tmp_path / "out.wav",
                                integrator="poisson-gamma")
    timer.join()
    # Had the run gone on to its end, the output would be there.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["long.wav"]


def test_enhance_files_on_two_workers(client, tool, tmp_path):
    corpus, out = tmp_path / "corpus", tmp_path / "out"
    names = make_corpus(corpus)

    records = nimbusdale.distributed.enhance_files(client, corpus, out, **OPTIONS)
    by_output = {r["output"]: r for r in records}
    assert sorted(by_output) == sorted(names + ["sub/broken.wav"])

    # The good outputs are those of `nimbusdale enhance`, bit for bit.
    for name in names:
        assert by_output[name]["status"] == "done"
        ours, _ = read_wav(str(out / name))
        theirs, _ = enhanced_by_tool(tool, corpus / name, tmp_path / "tool.wav")
        assert same_bits(ours, theirs), name

    # The corrupt file is reported, and only it.
    broken = by_output["sub/broken.wav"]
    assert broken["status"] == "failed"
    assert "broken.wav" in broken["error"]
    assert not (out / "sub/broken.wav").exists()
    assert not [p for p in out.rglob("*") if ".partial" in p.name]

    # The manifest holds the same records.
    manifest = [json.loads(line) for line in (out / "manifest.jsonl").read_text().splitlines()]
    assert sorted(manifest, key=lambda r: r["output"]) == sorted(records,
                                                                 key=lambda r: r["output"])

    # A second run does no work: no task reaches a worker, and no output is touched.
    times = {name: os.stat(out / name).st_mtime_ns for name in names}
    with distributed.get_task_stream(client) as stream:
        again = nimbusdale.distributed.enhance_files(client, corpus, out, **OPTIONS)
    assert stream.data == []
    statuses = {r["output"]: r["status"] for r in again}
    assert statuses == {**{name: "skipped" for name in names}, "sub/broken.wav": "failed"}
    assert {name: os.stat(out / name).st_mtime_ns for name in names} == times

    # Other options redo the work; a list of files works like the folder.
    changed = nimbusdale.distributed.enhance_files(
        client, [corpus / name for name in names], out, in_dir=corpus, seed=2, **OPTIONS)
    assert sorted(r["status"] for r in changed) == ["done"] * len(names)


def test_enhance_files_scores_and_keeps_the_batch_rules(client, tmp_path):
    corpus, out, ref = tmp_path / "corpus", tmp_path / "out", tmp_path / "ref"
    x, clean = hum_and_bursts(seconds=1.0)
    corpus.mkdir()
    ref.mkdir()
    write_pcm16(str(corpus / "x.wav"), x, 16000)
    write_pcm16(str(ref / "x.wav"), clean[:, None], 16000)
    records = nimbusdale.distributed.enhance_files(client, corpus, out, reference_dir=ref,
                                                   threads=1, **OPTIONS)
    (record,) = records
    assert record["si_sdr_after"] > record["si_sdr_before"] + 3
    assert record["reference"] == str(ref / "x.wav")

    # Another run holding the output folder is refused.
    held = os.open(out, os.O_RDONLY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(RuntimeError, match="another batch run"):
            nimbusdale.distributed.enhance_files(client, corpus, out, **OPTIONS)
    finally:
        os.close(held)

    with pytest.raises(ValueError, match="input folder"):
        nimbusdale.distributed.enhance_files(client, corpus, corpus, **OPTIONS)
    with pytest.raises(ValueError, match="hop"):
        nimbusdale.distributed.enhance_files(client, corpus, out, hop=0)
    with pytest.raises(ValueError, match="not a folder"):
        nimbusdale.distributed.enhance_files(client, pathlib.Path(corpus / "x.wav"), out)


def test_the_submodule_imports_on_the_workers(client):
    names = client.run(lambda: __import__("nimbusdale.distributed").distributed.__name__)
    assert list(names.values()) == ["nimbusdale.distributed"] * 2


def test_a_worker_that_dies_fails_only_its_file(tmp_path, monkeypatch):
    import dask

    corpus, out = tmp_path / "corpus", tmp_path / "out"
    names = make_corpus(corpus)

    def crash_on_b(task, options):
        # The worker process dies, as it would of a crash in native code.
        if json.loads(task)["input"].endswith("/sub/b.wav"):
            os._exit(3)
        import nimbusdale

        return nimbusdale._run_batch_task(task, **options)

    monkeypatch.setattr(nimbusdale.distributed, "_run_task", crash_on_b)
    # No retry of a task whose worker died, and one task a worker at a time, so that only the
    # file that kills its worker is lost.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0,
                          "distributed.scheduler.worker-saturation": 1.0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1",
                                      dashboard_address="127.0.0.1:0") as cluster:
            with distributed.Client(cluster) as client:
                records = nimbusdale.distributed.enhance_files(client, corpus, out, **OPTIONS)
    by_output = {r["output"]: r for r in records}
    assert by_output["sub/b.wav"]["status"] == "failed"
    assert "KilledWorker" in by_output["sub/b.wav"]["error"]
    assert not (out / "sub/b.wav").exists()
    assert [by_output[name]["status"] for name in names if name != "sub/b.wav"] == ["done"] * 3
    manifest = (out / "manifest.jsonl").read_text().splitlines()
    assert len(manifest) == len(names) + 1
