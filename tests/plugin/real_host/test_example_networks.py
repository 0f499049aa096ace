"""The example networks a host user runs: batchflow enhances a recording, with the host's own
argument syntax, into the same samples as `nimbusdale enhance` with the same options."""

import os
import subprocess
from pathlib import Path

import pytest

import flowdesigner as fd

EXAMPLES = Path(os.environ.get("NIMBUSDALE_EXAMPLES", Path(__file__).parents[3] / "examples"))
NOISY = EXAMPLES / "demo" / "noisy.wav"


def tool(*args):
    run = subprocess.run([os.environ["NIMBUSDALE_TOOL"], *map(str, args)], capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return run


@pytest.mark.parametrize("network, options", [
    ("enhance.n", []),
    ("enhance-median.n", ["--integrator", "median"]),
    ("enhance-poisson-gamma.n", ["--integrator", "poisson-gamma"]),
])
def test_an_example_network_gives_the_tools_samples(tmp_path, home, network, options):
    out = tmp_path / "host.wav"
    run = fd.batchflow(home, EXAMPLES / "networks" / network, NOISY, out, "4", "16000")
    assert run.returncode == 0, run.stderr
    tool("enhance", NOISY, "-o", tmp_path / "tool.wav", "-q", *options)
    host, expected = fd.read_wav(out), fd.read_wav(tmp_path / "tool.wav")
    assert host.shape == expected.shape == (95052, 1)
    assert (host == expected).all()
    assert not list(tmp_path.glob("*.partial-*"))


def test_16_bit_output_and_another_geometry_follow_the_tools_options(tmp_path, home):
    """The network's parameters are the tool's options: frame length and hop, sparsity, sample
    format."""
    text = (EXAMPLES / "networks" / "enhance-median.n").read_text()
    text = (text.replace('value="1024"', 'value="512"').replace('value="256"', 'value="128"')
            .replace('name="LAMBDA" type="float" value="1"', 'name="LAMBDA" type="float" value="0.7"')
            .replace('value="float"', 'value="pcm16"'))
    (tmp_path / "variant.n").write_text(text)
    out = tmp_path / "host.wav"
    run = fd.batchflow(home, tmp_path / "variant.n", NOISY, out, "4", "16000")
    assert run.returncode == 0, run.stderr
    tool("enhance", NOISY, "-o", tmp_path / "tool.wav", "-q", "--integrator", "median",
         "--length", 512, "--hop", 128, "--lambda", 0.7, "--format", "pcm16")
    assert (fd.read_wav(out) == fd.read_wav(tmp_path / "tool.wav")).all()


@pytest.mark.parametrize("args, says", [
    (["missing.wav", "out.wav", "4", "16000"],
     "AudioFileSource 'source': FILENAME: cannot read missing.wav"),
    ([NOISY, "out.wav", "2", "16000"],
     "AudioFileSource 'source': FILENAME " + str(NOISY) + " holds 4 channels at 16000 Hz; "
     "NUM_CHANNEL is 2 and SAMPLING_RATE 16000"),
    ([NOISY, "out.mp9", "4", "16000"],
     "AudioFileSink 'sink': FILENAME: cannot write out.mp9: unsupported output format 'mp9'"),
])
def test_a_refused_recording_stops_batchflow_and_writes_nothing(tmp_path, home, args, says):
    run = fd.batchflow(home, EXAMPLES / "networks" / "enhance.n", *map(str, args), cwd=tmp_path)
    assert run.returncode != 0
    assert says in run.stderr, run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["home"]
