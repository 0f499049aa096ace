import os
import subprocess

import numpy as np
import pytest

import nimbusdale
from conftest import hum_and_bursts, read_wav, write_pcm16


def si_sdr(ref, est):
    ref = ref - ref.mean()
    est = est - est.mean()
    target = (est @ ref) / (ref @ ref) * ref
    return 10 * np.log10(np.sum(target**2) / np.sum((est - target) ** 2))


def test_enhance_returns_a_better_mono_signal():
    x, clean = hum_and_bursts()
    y = nimbusdale.enhance(x, 16000)
    assert y.dtype == np.float32 and y.shape == (x.shape[0],)
    assert np.all(np.isfinite(y))
    assert si_sdr(clean, y) > si_sdr(clean, x[:, 0]) + 3


def test_enhance_agrees_with_the_command_line_tool(tool, tmp_path):
    x, _ = hum_and_bursts(seconds=1.0)
    noisy = str(tmp_path / "noisy.wav")
    write_pcm16(noisy, x, 16000)
    x16, rate = read_wav(noisy)
    for integrator in ("median", "poisson-gamma", "mask"):
        out = str(tmp_path / f"{integrator}.wav")
        subprocess.run([tool, "enhance", noisy, "-o", out, "--quiet", "--integrator", integrator],
                       check=True)
        from_tool, _ = read_wav(out)
        from_python = nimbusdale.enhance(x16, rate, integrator)
        np.testing.assert_allclose(from_python, from_tool[:, 0], rtol=0, atol=1e-6)


def test_enhance_file_takes_paths_as_open_does(tmp_path):
    x, _ = hum_and_bursts(seconds=0.2)
    wav = tmp_path / "in.wav"
    write_pcm16(str(wav), x, 16000)
    for name, output in [("bytes", os.fsencode(tmp_path / "b.wav")), ("path", tmp_path / "p.wav")]:
        record = nimbusdale.enhance_file(os.fsencode(wav) if name == "bytes" else wav, output)
        assert record["output"] == os.fsdecode(output), name
        assert os.path.exists(output), name
    for bad in [(str(wav) + "\0x", tmp_path / "o.wav"), (wav, str(tmp_path / "o\0.wav"))]:
        with pytest.raises(ValueError, match="embedded null byte"):
            nimbusdale.enhance_file(*bad)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.wav", "in.wav", "p.wav"]


def test_enhance_error_paths():
    x, _ = hum_and_bursts(seconds=0.2)
    with pytest.raises(TypeError, match="float32"):
        nimbusdale.enhance(x.astype(np.float64), 16000)
    with pytest.raises(ValueError, match="2-D"):
        nimbusdale.enhance(x[:, 0], 16000)
    with pytest.raises(ValueError, match="integrator"):
        nimbusdale.enhance(x, 16000, "mean")
    with pytest.raises(ValueError, match="hop"):
        nimbusdale.enhance(x, 16000, hop=0)
    with pytest.raises(nimbusdale.NodeError, match="LAMBDA is -1"):
        nimbusdale.enhance(x, 16000, lambda_=-1.0)
    bad = x.copy()
    bad[10, 1] = np.nan
    with pytest.raises(ValueError, match="non-finite"):
        nimbusdale.enhance(bad, 16000)
