// RNNoise (the npm package @shiguredo/rnnoise-wasm, a WebAssembly build) as a file filter for the
// evaluation and the race: channel 0 of in.wav, resampled by sox to the 48 kHz RNNoise runs at,
// denoised in 480-sample frames at 16-bit scale, resampled back to the input's rate and written
// to out.wav (16-bit mono), as long as the input and aligned with it sample for sample.
//
//   node bench/rnnoise_denoise.mjs [--module DIR] in.wav out.wav
//
// DIR is the npm prefix the package was installed into (default build/release/rnnoise, where
// bench/setup_peers.sh installs it). Needs Debian's nodejs and sox.
import { spawnSync } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const RATE = 48000;
// This build gives back each sample two frames (960 samples at 48 kHz, 20 ms) after it went in,
// as cross-correlating its output with its input shows. The output drops that much of the start,
// and zeros run through at the end, so it lines up with the input.
const FRAME = 480;
const DELAY = 2 * FRAME;
const PACKAGE = "@shiguredo/rnnoise-wasm";

function fail(message) {
  console.error(`rnnoise_denoise: ${message}`);
  process.exit(1);
}

function usage(message) {
  console.error(`rnnoise_denoise: ${message}`);
  console.error("usage: node bench/rnnoise_denoise.mjs [--module DIR] in.wav out.wav");
  process.exit(2);
}

function sox(args, input) {
  const done = spawnSync("sox", args, { input, maxBuffer: 1 << 30 });
  if (done.error) {
    fail(done.error.code === "ENOENT" ? "sox is not installed (apt-get install sox)"
                                      : `sox: ${done.error.message}`);
  }
  if (done.status !== 0) {
    const lines = done.stderr.toString().trim().split("\n");
    fail(`sox exited with status ${done.status}: ${lines[lines.length - 1]}`);
  }
  return done.stdout;
}

async function loadRnnoise(prefix) {
  const home = path.join(prefix, "node_modules", PACKAGE);
  const manifest = path.join(home, "package.json");
  if (!existsSync(manifest)) {
    fail(`no ${PACKAGE} in ${prefix} (bash bench/setup_peers.sh installs it; --module DIR)`);
  }
  const entry = JSON.parse(readFileSync(manifest, "utf8")).module;
  // The package is built for browsers only and checks for a window before it loads.
  globalThis.window = globalThis;
  const { Rnnoise } = await import(pathToFileURL(path.join(home, entry)).href);
  return Rnnoise.load();
}

async function main() {
  const args = process.argv.slice(2);
  const here = path.dirname(fileURLToPath(import.meta.url));
  let prefix = path.join(here, "..", "build", "release", "rnnoise");
  if (args[0] === "--module") {
    if (args.length < 2) usage("--module needs a folder");
    prefix = args[1];
    args.splice(0, 2);
  }
  if (args.length !== 2) usage("give an input and an output WAV file");
  const [input, output] = args;
  if (!existsSync(input)) usage(`no such input file: ${input}`);

  const rate = Number(sox(["--i", "-r", input]).toString().trim());
  const frames = Number(sox(["--i", "-s", input]).toString().trim());
  const raw = sox(["-D", input, "-t", "raw", "-e", "floating-point", "-b", "32", "-c", "1",
                   "-", "remix", "1", "rate", "-v", String(RATE)]);
  const x = new Float32Array(raw.buffer, raw.byteOffset, raw.length / 4);

  const rnnoise = await loadRnnoise(prefix);
  const size = rnnoise.frameSize;
  if (size !== FRAME) fail(`the package's frame is ${size} samples, not ${FRAME}`);
  const state = rnnoise.createDenoiseState();
  const y = new Float32Array(x.length);
  const frame = new Float32Array(size);
  // Frame k's output is input samples [k size - DELAY, (k + 1) size - DELAY).
  for (let start = 0; start < x.length + DELAY; start += size) {
    frame.fill(0);
    for (let i = 0; i < size && start + i < x.length; ++i) frame[i] = 32768 * x[start + i];
    state.processFrame(frame);
    for (let i = 0; i < size; ++i) {
      const at = start + i - DELAY;
      if (at >= 0 && at < y.length) y[at] = frame[i] / 32768;
    }
  }
  state.destroy();

  sox(["-D", "-t", "raw", "-e", "floating-point", "-b", "32", "-c", "1", "-r", String(RATE),
       "-", "-b", "16", output, "rate", "-v", String(rate), "trim", "0", `${frames}s`, "pad",
       "0", `${frames}s`, "trim", "0", `${frames}s`],
      Buffer.from(y.buffer, y.byteOffset, y.byteLength));
}

main().catch((e) => fail(e.message));
