"""A real FlowDesigner host for the tests: network documents written in its XML format, frames in
its serialized form, and its batchflow runner with this build's toolbox in a scratch
FLOWDESIGNER_HOME."""

import os
import struct
import subprocess
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

BATCHFLOW = os.environ.get("BATCHFLOW", "")
FLOWDESIGNER_PREFIX = os.environ.get("FLOWDESIGNER_PREFIX", "")
TOOLBOX_BUILD = os.environ.get("NIMBUSDALE_TOOLBOX_BUILD", "")


def install_toolbox(prefix: Path) -> Path:
    """Installs the toolbox build under `prefix`, as a user does; returns its toolbox folder."""
    run = subprocess.run(["cmake", "--install", TOOLBOX_BUILD, "--prefix", str(prefix)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return prefix / "lib" / "flowdesigner" / "toolbox" / "audio_blocks"


def make_home(root: Path, toolbox: Path) -> Path:
    """A FLOWDESIGNER_HOME holding the host's own toolbox and the installed `toolbox` folder."""
    folder = root / "lib" / "flowdesigner" / "toolbox"
    folder.mkdir(parents=True)
    (folder / "LIBFLOW").symlink_to(Path(FLOWDESIGNER_PREFIX) / "lib/flowdesigner/toolbox/LIBFLOW")
    (folder / "nimbusdale").symlink_to(toolbox)
    return root


def batchflow(home: Path, document: Path, *args: str, cwd=None) -> subprocess.CompletedProcess:
    """Runs `batchflow document args...`; the host writes ~/.flowrc, so HOME is the scratch home."""
    env = dict(os.environ, FLOWDESIGNER_HOME=str(home), HOME=str(home),
               LD_LIBRARY_PATH=str(Path(FLOWDESIGNER_PREFIX) / "lib"))
    return subprocess.run([BATCHFLOW, str(document), *args], env=env, cwd=cwd, text=True,
                          capture_output=True, timeout=600)


# -- Network documents -------------------------------------------------------------------------

def node(name, type_, **params):
    """A <Node>; each parameter is a (type, value) pair, e.g. LAMBDA=("float", 0.5)."""
    lines = [f'    <Node name="{name}" type="{type_}" x="0" y="0">']
    for key, (kind, value) in params.items():
        lines.append(f'      <Parameter name="{key}" type="{kind}" value={quoteattr(str(value))}/>')
    lines.append("    </Node>")
    return "\n".join(lines)


def link(source, output, target, input_):
    return f'    <Link from="{source}" output="{output}" to="{target}" input="{input_}"/>'


def network(kind, name, *items):
    return f'  <Network type="{kind}" name="{name}">\n' + "\n".join(items) + "\n  </Network>"


def document(*networks):
    return '<?xml version="1.0"?>\n<Document>\n' + "\n".join(networks) + "\n</Document>\n"


def counted_condition(name, counts):
    """Nodes whose `name` output VALUE is true for counts 0 .. counts - 1, then false: the host's
    IterCount indexing a constant vector of Bool (its comparison operators are not built)."""
    flags = " ".join(["<Bool 1>"] * counts + ["<Bool 0>"])
    return "\n".join([
        node(name + "_count", "IterCount"),
        node(name + "_flags", "Constant", VALUE=("object", f"<Vector<ObjectRef> {flags} >")),
        node(name, "Index"),
        link(name + "_flags", "VALUE", name, "INPUT"),
        link(name + "_count", "OUTPUT", name, "INDEX"),
    ])


# -- The host's serialized frames -----------------------------------------------------------------

def serialize(frames) -> bytes:
    """Frames (2-D float32 or complex64 arrays) in the host's binary object form: '{Matrix<T>\\n|',
    rows and cols as big-endian size_t, the elements big-endian, '}'."""
    out = bytearray()
    for frame in frames:
        frame = np.asarray(frame)
        kind = "complex<float>" if np.iscomplexobj(frame) else "float"
        out += f"{{Matrix<{kind}>\n|".encode()
        out += struct.pack(">QQ", *frame.shape)
        size = frame.dtype.itemsize
        raw = np.ascontiguousarray(frame).tobytes()
        for i in range(0, len(raw), size):  # each element reversed whole, as the host writes it
            out += raw[i:i + size][::-1]
        out += b"}"
    return bytes(out)


def deserialize(data: bytes):
    """The frames of a file the host's Serialize node wrote."""
    frames, at = [], 0
    while at < len(data):
        header_end = data.index(b"|", at)
        kind = data[at + 1:header_end].decode().strip()
        rows, cols = struct.unpack(">QQ", data[header_end + 1:header_end + 17])
        dtype = {"Matrix<float>": np.float32, "Matrix<complex<float>>": np.complex64}[kind]
        size = np.dtype(dtype).itemsize
        start = header_end + 17
        raw = b"".join(data[start + i:start + i + size][::-1]
                       for i in range(0, rows * cols * size, size))
        frames.append(np.frombuffer(raw, dtype=dtype).reshape(rows, cols))
        at = start + rows * cols * size
        assert data[at:at + 1] == b"}", kind
        at += 1
    return frames


def read_wav(path: Path) -> np.ndarray:
    """The samples of a 32-bit float or 16-bit integer WAV file, frames x channels, as float32
    (integers scaled to full scale 1, as libsndfile reads them)."""
    data = Path(path).read_bytes()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", path
    at, fmt, samples = 12, None, None
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif tag == b"data":
            samples = body
        at += 8 + size + (size & 1)
    code, channels, _, _, _, bits = fmt
    if code in (3, 0xFFFE) and bits == 32:
        values = np.frombuffer(samples, "<f4")
    elif bits == 16:
        values = np.frombuffer(samples, "<i2").astype(np.float32) / np.float32(32768)
    else:
        raise ValueError(f"{path}: WAV format {code} with {bits} bits")
    return values.reshape(-1, channels)
