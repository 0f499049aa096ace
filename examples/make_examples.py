#!/usr/bin/python3
"""Builds the example recordings: espeak-ng speech in noise built in code, 16 kHz.

Each item is a folder with noisy.wav (2 to 8 channels, small delays between channels) and
clean.wav (the speech alone as channel 0 hears it, reverberation included where the item has
it). Run with Debian's /usr/bin/python3; needs python3-numpy, espeak-ng and sox. Deterministic:
the same files every run, so only examples/demo is committed and the rest is made on demand.

    /usr/bin/python3 examples/make_examples.py [--held-out | --draw K [--voices]] [OUTDIR]
                                                                    (default: examples/)

--held-out makes the held-out set instead: the same thirty conditions (noise, channels, SNR,
reverberation, silence, dead channel) with other voices, other sentences, other babble talkers
and competing talkers, and other random draws. Defaults are chosen on the development set; the
held-out set tells how they do on recordings they were not chosen on. --draw K (1 to 9) makes
the development items again with other random draws (noise, delays, sensors, rooms): the same
voices and lines, so that a choice made on the development set can be checked on more items
without looking at the held-out set. With --voices a draw also gives each item a voice from a
third pool, in neither set, and another item's development lines: a check that a choice does not
hang on one voice, still without the held-out set.

The set covers machine noises (motor, fan, mains hum, drill, pump, gearbox), steady broadband
noise, plain pink and brown noise, babble from several espeak-ng voices, wind (strong below a few
hundred hertz, gusting and different in every microphone), clicks, impulsive noise over a steady
bed (periodic mechanical ticks, irregular keyboard taps and knocks) and a competing talker from
another direction who takes turns with the target and talks over it; SNRs at channel 0 from -5
to +10 dB; reverberation (an exponentially decaying noise tail per channel, on the speech and on
the noise); 0.5 s of leading digital silence (exact zeros in every channel); and a dead channel
(all zeros).
"""
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

RATE = 16000

# Talkers and their lines for the babble noise; none of these lines is a target sentence.
BABBLE = [
    ("en-us+m3", ["I told them the meeting moved to Thursday afternoon.",
                  "We could order lunch for everyone if the budget allows it."]),
    ("en-gb+f2", ["The train was late again, so I walked the last mile.",
                  "Have you seen the new exhibition at the museum yet?"]),
    ("en-gb-scotland+m1", ["My brother fixed the roof before the winter storms.",
                           "There is fresh bread in the kitchen if you want some."]),
    ("en-029+f4", ["She said the garden looks lovely in the early morning.",
                   "Nobody remembered where we parked the blue car."]),
    ("en-gb-x-rp+m5", ["The results will be published at the end of the month.",
                       "Please close the window, it is getting rather cold."]),
    ("en-us+f1", ["We are going to the coast for a few days in August.",
                  "He plays the piano every evening after dinner."]),
]

# The held-out set's talkers: voices and lines that appear nowhere in the development set.
BABBLE_HELD_OUT = [
    ("en-gb-x-gbclan+m2", ["The ferry leaves at half past six from the north pier.",
                           "I would rather walk than wait for the next bus."]),
    ("en-us-nyc+f3", ["My sister painted the kitchen a pale shade of yellow.",
                      "Did anybody bring an umbrella for the walk back?"]),
    ("en-gb-x-gbcwmd+m6", ["The plumber promised to come round on Monday morning.",
                           "Our neighbours keep bees at the bottom of their garden."]),
    ("en-us+f5", ["They counted forty swans on the lake last weekend.",
                  "The library closes early during the summer holidays."]),
    ("en-gb+m4", ["I have never been able to whistle with my fingers.",
                  "The soup needs a little more salt and pepper."]),
    ("en-029+f1", ["We missed the start of the film because of the traffic.",
                   "Her grandfather still writes letters with a fountain pen."]),
]
# Competing talkers (the `talker` noise): each item's extras name one by index.
TALKERS = [
    ("en-us+f3", ["Did anyone remember to lock the back door?",
                  "I think the spare keys are still in the car."]),
    ("en-gb-x-rp+m2", ["Hang on, let me find a pen and some paper.",
                       "Sorry, could you say that part again?"]),
    ("en-029+f3", ["The kettle has just boiled if you want tea.",
                   "I can never find the lid for this pot."]),
]
TALKERS_HELD_OUT = [
    ("en-us-nyc+f4", ["Wait, is that your phone ringing in the hall?",
                      "I left my glasses on the kitchen table."]),
    ("en-gb-x-gbcwmd+f2", ["There is a parcel for you by the front door.",
                           "It rattles a bit when you shake it."]),
    ("en-gb-x-gbclan+m3", ["The car park fills up before eight these days.",
                           "Shall we take the long way round instead?"]),
]
VOICES_HELD_OUT = ["en-gb-x-gbclan", "en-us-nyc+f2", "en-gb-x-gbcwmd+m4", "en-us+m6",
                   "en-gb+f5", "en-029+m3", "en-gb-scotland+f1", "en-us-nyc+m2"]
LINES_HELD_OUT = [
    "Put the blue folder on the top shelf.", "The meeting will start at nine sharp.",
    "Listen carefully to the sound of the engine.", "Something is rattling under the bonnet.",
    "Switch the lights off when you leave the lab.", "The battery is almost empty.",
    "Bring the robot back to the charging station.", "Its left wheel is stuck again.",
    "We measured the noise at every corner of the hall.", "The readings were higher near the door.",
    "Please repeat the last number slowly.", "I could not hear it over the machine.",
    "The delivery arrived a day earlier than planned.", "Sign here and keep the receipt.",
    "A cold wind blew across the open field.", "The farmer closed the gate behind us.",
    "The printer jammed halfway through the report.", "Open the side panel and pull the paper.",
    "Keep your hands away from the moving belt.", "The guard must stay closed at all times.",
    "Dinner is ready whenever you are hungry.", "Wash your hands before you sit down.",
    "The children built a castle out of cardboard.", "It fell over when the dog ran past.",
    "Write the date at the top of every page.", "Then hand the sheets to the front.",
    "The valve opens when the pressure drops.", "Watch the gauge while I turn the handle.",
    "Thank you for calling, how can I help?", "Your order has been sent this morning.",
    "The river rose quickly after the heavy rain.", "The bridge was closed for two days.",
    "Turn the volume down, the baby is asleep.", "We can talk again in the morning.",
    "The new drill is much quieter than the old one.", "It still shakes the whole bench.",
    "Meet me at the station entrance at noon.", "I will be wearing a green coat.",
    "The clock in the tower stopped at midnight.", "Nobody has climbed up to fix it.",
    "The seeds need water twice a week.", "Keep the tray near the sunny window.",
    "The ladder is leaning against the shed.", "Hold it steady while I climb up.",
    "The map shows a footpath along the stream.", "We can follow it to the old mill.",
    "The fridge door does not close properly.", "Something is blocking the bottom shelf.",
    "Our flight was delayed by three hours.", "We ate breakfast at the airport.",
    "The tailor shortened both of the sleeves.", "The jacket fits much better now.",
    "Count the boxes before the van leaves.", "There should be twelve in all.",
    "The kitten slept on the warm laptop.", "Move her gently before you start.",
    "A loud bang came from the workshop.", "Luckily nobody was standing nearby.",
    "The choir practises in the church hall.", "New singers are always welcome.",
]
# Voices of --draw K --voices: in neither the development nor the held-out set.
VOICES_DRAWN = ["en-gb-x-rp+f1", "en-us+m7", "en-gb-scotland+f3", "en-029+m5", "en-us-nyc+f1",
                "en-gb-x-gbcwmd+f4", "en-gb+m6", "en-us+f4", "en-gb-x-gbclan+f5",
                "en-gb-x-rp+m7", "en-029+f2", "en-us-nyc+m1"]


def held_out(items):
    """The development items' conditions with the held-out voices and lines."""
    out = []
    for i, (name, channels, kind, snr_db, _voice, _lines, *extras) in enumerate(items):
        out.append((name, channels, kind, snr_db, VOICES_HELD_OUT[i % len(VOICES_HELD_OUT)],
                    LINES_HELD_OUT[2 * i:2 * i + 2], *extras))
    return out


def other_voices(items, draw):
    """The development items' conditions, each with a voice of VOICES_DRAWN and the lines of
    another development item, both chosen by the draw."""
    pairs = [item[5] for item in items if len(item[5]) == 2]  # a dialogue takes two lines
    out = []
    for i, (name, channels, kind, snr_db, _voice, _lines, *extras) in enumerate(items):
        lines = pairs[(i + 7 * draw) % len(pairs)]
        out.append((name, channels, kind, snr_db, VOICES_DRAWN[(i + 5 * draw) % len(VOICES_DRAWN)],
                    lines, *extras))
    return out


# Extras of an item (all optional):
#   lead     seconds of noise before the speech, on top of the 0.4 s every item has
#   rt60     reverberation time in seconds; the speech and every point-source noise get a
#            direct path plus an exponentially decaying noise tail, different in each channel
#   drr      direct-to-reverberant energy ratio of those responses, dB
#   silence  seconds of exact zeros in every channel (and the reference) before everything
#   dead     index of a channel that is all zeros
# Items with extras (the ones added after the first four) get the SNR exactly at channel 0; the
# first four keep the level they always had (within about 1 dB of the SNR named).
NEW = {"lead": 0.3}
ITEMS = [
    # name, channels, noise, SNR at channel 0 in dB, voice, sentences[, extras]
    ("demo", 4, "motor", 0.0, "en-us",
     ["The robot heard a voice above the motor noise. Please bring the red box."]),
    ("fan_8ch", 8, "fan", 0.0, "en-gb",
     ["Turn left at the next corner and stop by the door.", "Seven green lights are on."]),
    ("hum_4ch", 4, "hum", -5.0, "en-us",
     ["Mains hum hides the quiet parts of speech.", "Can you still understand me now?"]),
    ("broadband_4ch", 4, "broadband", 5.0, "en-gb",
     ["Steady broadband noise is the hardest case.", "It changes slowly, but covers every bin."]),
    ("drill_4ch", 4, "drill", 5.0, "en-us+m3",
     ["Hold the ladder while I drill the last hole.", "The shelf should be level now."], NEW),
    ("pump_6ch", 6, "pump", 0.0, "en-gb-x-rp",
     ["The pump knocks twice every second.", "Check the pressure before you open the valve."],
     NEW),
    ("gearbox_8ch", 8, "gearbox", -5.0, "en-gb-scotland",
     ["The gearbox whines when the belt is loose.", "Stop the line and call the engineer."], NEW),
    ("babble_4ch", 4, "babble", 5.0, "en-us+f2",
     ["Can everyone hear me at the back of the room?", "The talk starts in five minutes."],
     NEW),
    ("babble_8ch", 8, "babble", 0.0, "en-gb",
     ["Your table is ready by the window.", "Would you like something to drink first?"], NEW),
    ("wind_4ch", 4, "wind", 2.0, "en-029",
     ["The wind is picking up along the cliff path.", "We should turn back before dark."], NEW),
    ("wind_2ch", 2, "wind", 10.0, "en-us",
     ["Two microphones are enough for a phone call.", "Speak a little closer, please."], NEW),
    ("clicks_4ch", 4, "clicks", 10.0, "en-gb+f3",
     ["The keyboard clicks while she types the report.", "Save the file every few minutes."],
     NEW),
    ("clicks_6ch", 6, "clicks", 0.0, "en-us+m1",
     ["The old clock ticks loudly in the hall.", "It has not been wound for years."], NEW),
    ("motor_reverb_4ch", 4, "motor", 5.0, "en-gb",
     ["The workshop has bare concrete walls.", "Every sound rings on for a while."],
     dict(NEW, rt60=0.4, drr=3.0)),
    ("babble_reverb_8ch", 8, "babble", 10.0, "en-us",
     ["The hall was full long before the concert began.",
      "Find your seat and switch off your phone."],
     dict(NEW, rt60=0.7, drr=0.0)),
    ("broadband_reverb_6ch", 6, "broadband", -2.0, "en-gb-x-rp+f4",
     ["The air conditioning roars in the stairwell.", "Meet me on the third floor."],
     dict(NEW, rt60=0.5, drr=2.0)),
    ("hum_silence_4ch", 4, "hum", 0.0, "en-us",
     ["The recorder started before the microphones were on.", "Nothing at all came first."],
     dict(NEW, silence=0.5)),
    ("gearbox_silence_8ch", 8, "gearbox", 5.0, "en-gb",
     ["The file begins with half a second of zeros.", "Then the machine starts up."],
     dict(NEW, silence=0.5)),
    ("fan_deadch_4ch", 4, "fan", -5.0, "en-gb-scotland",
     ["One cable came loose during the recording.", "The other three still work."],
     dict(NEW, dead=2)),
    ("drill_silence_deadch_6ch", 6, "drill", -2.0, "en-029+m2",
     ["A broken channel and a silent start together.", "The drill keeps going regardless."],
     dict(NEW, silence=0.5, dead=5)),
    ("ticks_4ch", 4, "ticks", 0.0, "en-gb+f2",
     ["The counter clicks every time a part goes by.", "Write down the total at noon."], NEW),
    ("typing_6ch", 6, "typing", 5.0, "en-us+m2",
     ["He types the minutes while we talk.", "Please speak slowly for the record."], NEW),
    ("knocks_8ch", 8, "knocks", -2.0, "en-gb-x-rp+m1",
     ["Someone is hammering on the floor above.", "I will ask them to stop for an hour."],
     NEW),
    ("talker_8ch", 8, "talker", 0.0, "en-us",
     ["Where did you put the measuring tape?", "I need it for the window frame."],
     dict(NEW, talker=0)),
    ("talker_4ch", 4, "talker", 5.0, "en-gb-scotland+f2",
     ["The boxes for the move are in the garage.", "Bring the big ones up first."],
     dict(NEW, talker=1)),
    ("talker_reverb_6ch", 6, "talker", 2.0, "en-gb+m3",
     ["The echo in this corridor is terrible.", "Let us go back into the office."],
     dict(NEW, talker=2, rt60=0.4, drr=3.0)),
    ("pink_4ch", 4, "pink", -5.0, "en-us+f1",
     ["The radio lost the station in the tunnel.", "Only a loud hiss was left."], NEW),
    ("pink_8ch", 8, "pink", 5.0, "en-gb-x-rp",
     ["Air rushes out of every vent in the room.", "The sound is the same all day."], NEW),
    ("brown_6ch", 6, "brown", 0.0, "en-029",
     ["A deep rumble comes from the waterfall.", "You can feel it through the rocks."], NEW),
    ("brown_4ch", 4, "brown", -5.0, "en-us+m3",
     ["The ship's engine room is full of low roar.", "Shout if you need anything."], NEW),
]


def utterances(voice, sentences, speed=150, headroom_db=0.0):
    """Each sentence spoken by espeak-ng, resampled to RATE, as a list of arrays."""
    parts = []
    # Some voices at some speeds peak at full scale; the resampler would clip them.
    effects = ["gain", f"{-headroom_db}"] if headroom_db else []
    with tempfile.TemporaryDirectory() as tmp:
        for i, text in enumerate(sentences):
            raw, resampled = os.path.join(tmp, f"{i}.wav"), os.path.join(tmp, f"{i}_16k.wav")
            tool(["espeak-ng", "-v", voice, "-s", str(speed), "-w", raw, text])
            tool(["sox", "-D", raw, "-r", str(RATE), "-c", "1", "-b", "16", resampled]
                 + effects)
            with wave.open(resampled) as w:
                parts.append(np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0)
    return parts


def speech(voice, sentences, gap=0.4, speed=150, headroom_db=0.0):
    parts = []
    for x in utterances(voice, sentences, speed, headroom_db):
        parts += [np.zeros(int(gap * RATE)), x]
    parts.append(np.zeros(int(gap * RATE)))
    return np.concatenate(parts)


def dialogue(target, other, rng, gap=0.4):
    """Two talkers' sentences (lists of two arrays) as a conversation, as (target, other) of
    one length: the target's first sentence; the other talker cuts in 0.3 to 0.7 s before it
    ends; after a pause of 0.2 to 0.5 s the target's second sentence; the other talker starts
    again 40 to 60% into it and may finish alone. `gap` seconds of quiet before and after."""
    def trimmed(x):
        # espeak-ng pads its sentences with quiet; the turns are timed on the voice itself.
        loud = np.flatnonzero(np.abs(x) > 0.01 * np.max(np.abs(x)))
        return x[loud[0]:loud[-1] + 1]

    target, other = [trimmed(x) for x in target], [trimmed(x) for x in other]
    starts = [int(gap * RATE)]
    starts.append(starts[0] + len(target[0]) - int(rng.uniform(0.3, 0.7) * RATE))
    starts.append(starts[1] + len(other[0]) + int(rng.uniform(0.2, 0.5) * RATE))
    starts.append(starts[2] + int(rng.uniform(0.4, 0.6) * len(target[1])))
    turns = [(target[0], 0), (other[0], 1), (target[1], 0), (other[1], 1)]
    n = max(at + len(x) for at, (x, _) in zip(starts, turns)) + int(gap * RATE)
    voices = np.zeros((2, n))
    for at, (x, who) in zip(starts, turns):
        voices[who, at:at + len(x)] += x
    return voices[0], voices[1]


def tool(command):
    """Runs a command the generator needs, with a one-line error when it is missing or fails."""
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except FileNotFoundError:
        raise SystemExit(f"make_examples.py: {command[0]} is not installed "
                         f"(apt-get install {command[0]})")
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or ["no message"]
        raise SystemExit(f"make_examples.py: {command[0]} exited with status "
                         f"{done.returncode}: {lines[-1]}")


def harmonic(n, f0, top, rng, wobble):
    t = np.arange(n) / RATE
    # Slow frequency drift and amplitude modulation, as a motor under load gives.
    phase = 2 * np.pi * np.cumsum(f0 * (1 + wobble * np.sin(2 * np.pi * 0.3 * t))) / RATE
    x = np.zeros(n)
    for k in range(1, int(top / f0) + 1):
        x += (1.0 / k) * np.sin(k * phase + rng.uniform(0, 2 * np.pi))
    return x * (1 + 0.2 * np.sin(2 * np.pi * 0.7 * t))


def coloured(n, rng, smooth):
    x = rng.standard_normal(n)
    # One-pole low-pass: steady broadband noise with more energy low down.
    y = np.empty(n)
    acc = 0.0
    for i in range(n):
        acc = smooth * acc + (1 - smooth) * x[i]
        y[i] = acc
    return y / np.std(y)


def shaped(n, rng, gain):
    """Gaussian noise with the magnitude response gain(f) (f in Hz, an array), unit variance."""
    spectrum = np.fft.rfft(rng.standard_normal(n)) * gain(np.fft.rfftfreq(n, 1.0 / RATE))
    y = np.fft.irfft(spectrum, n)
    return y / np.std(y)


def slow(n, rng, hz):
    """A smooth random curve, zero mean and unit variance, changing on a time scale of 1/hz s."""
    return shaped(n, rng, lambda f: np.exp(-0.5 * (f / hz) ** 2))


def knocks(n, rng, rate_hz, jitter, ring_hz, decay_s):
    """Impulses near rate_hz per second (times jittered by a fraction of the period), each
    ringing at ring_hz and dying away in about decay_s."""
    x = np.zeros(n)
    period = RATE / rate_hz
    for start in np.arange(0, n, period):
        at = int(start + jitter * period * rng.uniform(-0.5, 0.5))
        if 0 <= at < n:
            x[at] += rng.uniform(0.6, 1.0)
    t = np.arange(int(5 * decay_s * RATE)) / RATE
    ring = np.exp(-t / decay_s) * np.sin(2 * np.pi * ring_hz * t)
    return np.convolve(x, ring)[:n]


def babble(n, channels, rng, talkers):
    """Talkers (a list like BABBLE) at equal level, each its own point source (its own delays
    between channels), each starting at a random point of its looped lines."""
    field = np.zeros((n, channels))
    for voice, lines in talkers:
        talk = speech(voice, lines, gap=0.15, speed=int(rng.integers(150, 185)), headroom_db=1.0)
        talk = np.roll(np.resize(talk, n + 16), -int(rng.integers(0, len(talk))))
        talk /= np.std(talk)
        for c in range(channels):
            field[:, c] += delayed(talk, int(rng.integers(0, 8)))[:n]
    return field


def wind(n, channels, rng):
    """Wind on the microphones: turbulence below a few hundred hertz, independent in every
    channel, under gusts that the channels partly share."""
    gusts = slow(n, rng, 0.5)
    field = np.zeros((n, channels))
    for c in range(channels):
        rumble = shaped(n, rng, lambda f: 1.0 / (1.0 + (f / 80.0) ** 2))
        field[:, c] = rumble * np.exp(0.7 * gusts + 0.4 * slow(n, rng, 1.0))
    return field


def clicks(n, rng):
    """Sharp clicks at random times, about six a second, over a faint broadband floor."""
    x = np.zeros(n)
    times = np.cumsum(rng.exponential(RATE / 6.0, size=int(8 * n / RATE) + 8)).astype(int)
    for at in times[times < n]:
        length = int(rng.uniform(0.001, 0.004) * RATE)
        burst = rng.standard_normal(length) * np.exp(-np.arange(length) / (0.25 * length))
        x[at:at + length] += 10 ** rng.uniform(-1, 0) * burst[: n - at]
    return x / np.std(x) + 0.05 * shaped(n, rng, lambda f: np.ones_like(f))


def pink(n, rng):
    """Pink noise: power falling by 3 dB an octave from 20 Hz up, unit variance."""
    return shaped(n, rng, lambda f: 1.0 / np.sqrt(np.maximum(f, 20.0)))


def brown(n, rng):
    """Brown noise: power falling by 6 dB an octave from 20 Hz up, unit variance."""
    return shaped(n, rng, lambda f: 1.0 / np.maximum(f, 20.0))


def strikes(n, rng, times, ring_hz, decay_s, levels):
    """An impact at each time (samples): a broadband snap of a fraction of a millisecond and a
    ring at a frequency drawn from ring_hz (low, high) dying away in about decay_s, scaled by
    the matching level."""
    x = np.zeros(n)
    length = int(5 * decay_s * RATE)
    t = np.arange(length) / RATE
    for at, level in zip(times, levels):
        at = int(at)
        if not 0 <= at < n:
            continue
        ring = np.sin(2 * np.pi * rng.uniform(*ring_hz) * t + rng.uniform(0, 2 * np.pi))
        snap = rng.standard_normal(length) * np.exp(-t / 0.0004)
        event = level * (np.exp(-t / decay_s) * ring + snap)
        x[at:at + length] += event[: n - at]
    return x / np.std(x)


def ticks(n, rng):
    """A mechanism ticking four times a second (tick and tock at two pitches, within 1% of the
    period) over mains hum 6 dB below the ticks."""
    period = RATE / 4.0
    times = np.arange(0, n, period) + rng.uniform(-0.01, 0.01, int(np.ceil(n / period))) * period
    tick = strikes(n, rng, times[::2], (2100, 2300), 0.004, np.ones(len(times[::2])))
    tock = strikes(n, rng, times[1::2], (1500, 1700), 0.004, np.ones(len(times[1::2])))
    return tick + tock + harmonic(n, 50.0, 2500, rng, 0.0)


def event_groups(n, rng, first_s, sizes, within_s, between_s):
    """Sample times (before n) of events in groups: the first within first_s seconds; groups of
    sizes[0] to sizes[1] - 1 events, within_s (low, high) seconds apart, between_s apart."""
    times = []
    at = rng.uniform(0, first_s) * RATE
    while at < n:
        for _ in range(int(rng.integers(*sizes))):
            times.append(at)
            at += rng.uniform(*within_s) * RATE
        at += rng.uniform(*between_s) * RATE
    return times


def typing(n, rng):
    """Keyboard typing: words of 2 to 8 keys, 80 to 250 ms apart, with pauses of 0.3 to 1.5 s
    between words; each key clicks when pressed and, softer, when released 40 to 90 ms later;
    over pink noise 10 dB below the taps."""
    presses = np.array(event_groups(n, rng, 0.5, (2, 9), (0.08, 0.25), (0.3, 1.5)))
    releases = presses + rng.uniform(0.04, 0.09, len(presses)) * RATE
    levels = rng.uniform(0.5, 1.0, len(presses))
    taps = (strikes(n, rng, presses, (2500, 5000), 0.002, levels)
            + 0.4 * strikes(n, rng, releases, (3000, 6000), 0.0015, levels))
    return taps / np.std(taps) + np.sqrt(0.1) * pink(n, rng)


def knocking(n, rng):
    """Hammering and knocking at no fixed pace: groups of 2 to 5 blows 0.12 to 0.3 s apart,
    0.6 to 2.5 s between groups, each ringing at 150 to 400 Hz; over brown noise 6 dB below."""
    blows = event_groups(n, rng, 0.8, (2, 6), (0.12, 0.3), (0.6, 2.5))
    blows = strikes(n, rng, blows, (150, 400), 0.03, rng.uniform(0.6, 1.0, len(blows)))
    return blows + 0.5 * brown(n, rng)


def noise_source(kind, n, rng, channels=1, talkers=BABBLE):
    """The noise: one signal (a point source, delayed per channel by the caller) or an
    (n, channels) field for the kinds that are not a single source."""
    if kind == "motor":
        return harmonic(n, 97.0, 4000, rng, 0.01) + 0.3 * coloured(n, rng, 0.6)
    if kind == "fan":
        return 0.6 * harmonic(n, 180.0, 3000, rng, 0.002) + coloured(n, rng, 0.8)
    if kind == "hum":
        return harmonic(n, 50.0, 2500, rng, 0.0) + 0.1 * rng.standard_normal(n)
    if kind == "broadband":
        return coloured(n, rng, 0.3)
    if kind == "drill":
        # A fast motor whose speed follows the trigger, and the bit's broadband scream.
        screech = shaped(n, rng, lambda f: np.exp(-0.5 * ((f - 3500.0) / 1500.0) ** 2))
        return harmonic(n, 310.0, 7000, rng, 0.05) + 0.5 * screech
    if kind == "pump":
        # Piston knocks twice a second ringing at 900 Hz, over the motor's 60 Hz hum.
        return (3.0 * knocks(n, rng, 2.0, 0.05, 900.0, 0.03)
                + 0.5 * harmonic(n, 60.0, 1500, rng, 0.001) + 0.1 * coloured(n, rng, 0.5))
    if kind == "gearbox":
        # Two meshing gears' tone series, rattling at 11 Hz.
        t = np.arange(n) / RATE
        rattle = 1 + 0.4 * np.sin(2 * np.pi * 11.0 * t)
        return (rattle * (harmonic(n, 140.0, 3500, rng, 0.004)
                          + 0.7 * harmonic(n, 233.0, 5000, rng, 0.004))
                + 0.4 * coloured(n, rng, 0.5))
    if kind == "babble":
        return babble(n, channels, rng, talkers)
    if kind == "wind":
        return wind(n, channels, rng)
    if kind == "clicks":
        return clicks(n, rng)
    if kind == "ticks":
        return ticks(n, rng)
    if kind == "typing":
        return typing(n, rng)
    if kind == "knocks":
        return knocking(n, rng)
    if kind == "pink":
        return pink(n, rng)
    if kind == "brown":
        return brown(n, rng)
    raise ValueError(kind)


def delayed(x, d):
    return np.concatenate([np.zeros(d), x[: len(x) - d]]) if d else x.copy()


def room(rng, channels, rt60, drr_db, delays):
    """Per channel: a direct path at the channel's delay plus a tail of Gaussian noise decaying
    by 60 dB in rt60 seconds, starting 2 to 5 ms after it, at drr_db below the direct path."""
    length = int(1.2 * rt60 * RATE)
    responses = np.zeros((length + 16, channels))
    for c in range(channels):
        start = int(delays[c] + rng.uniform(0.002, 0.005) * RATE)
        t = np.arange(length + 16 - start) / RATE
        tail = rng.standard_normal(t.size) * np.exp(-3 * np.log(10) * t / rt60)
        responses[start:, c] = tail * np.sqrt(10 ** (-drr_db / 10) / np.sum(tail**2))
        responses[int(delays[c]), c] += 1.0
    return responses


def convolve(x, h):
    size = 1 << int(np.ceil(np.log2(len(x) + len(h))))
    return np.fft.irfft(np.fft.rfft(x, size) * np.fft.rfft(h, size), size)[: len(x)]


def write_wav(path, x):
    x = np.atleast_2d(x.T).T if x.ndim == 1 else x
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def describe(channels, kind, snr_db, extras=None):
    """One line about an item, as the evaluation prints it."""
    extras = extras or {}
    words = [f"{kind}, {snr_db:+.0f} dB, {channels} ch"]
    if "rt60" in extras:
        words.append(f"RT60 {extras['rt60']:.1f} s")
    if "silence" in extras:
        words.append(f"{extras['silence']:.1f} s leading zeros")
    if "dead" in extras:
        words.append(f"channel {extras['dead']} dead")
    return ", ".join(words)


def make(outdir, name, channels, kind, snr_db, voice, sentences, extras=None, *, seed,
         talkers=BABBLE, others=TALKERS, headroom_db=0.0):
    extras = extras or {}
    rng = np.random.default_rng(seed)
    # Reverberation draws from its own generator, so adding it to an item leaves the rest alone.
    room_rng = np.random.default_rng([seed, 1])
    lead = np.zeros(int(extras.get("lead", 0.0) * RATE))
    if kind == "talker":
        # The other talker is the noise, a point source like the machines; the conversation
        # sets the item's length.
        other_voice, other_lines = others[extras["talker"]]
        target, other = dialogue(utterances(voice, sentences, headroom_db=headroom_db),
                                 utterances(other_voice, other_lines, headroom_db=headroom_db),
                                 np.random.default_rng([seed, 2]))
        s = np.concatenate([lead, 0.3 * target])
        n = len(s)
        noise = np.concatenate([lead, other, np.zeros(16)])
    else:
        s = np.concatenate([lead, 0.3 * speech(voice, sentences, headroom_db=headroom_db)])
        n = len(s)
        noise = noise_source(kind, n + 16, rng, channels, talkers)
    speech_delays = rng.integers(0, 4, channels)
    speech_delays[0] = 0
    noise_delays = rng.integers(0, 8, channels)
    sensors, gains = [], []
    for c in range(channels):
        sensors.append(0.002 * rng.standard_normal(n))
        gains.append(0.9 + 0.2 * rng.random())

    if noise.ndim == 1:
        noises = [delayed(noise[:n], int(noise_delays[c])) for c in range(channels)]
    else:
        noises = [noise[:n, c] for c in range(channels)]
    speeches = [delayed(s, int(speech_delays[c])) for c in range(channels)]
    if "rt60" in extras:
        rt60, drr = extras["rt60"], extras.get("drr", 0.0)
        speech_room = room(room_rng, channels, rt60, drr, speech_delays)
        speeches = [convolve(s, speech_room[:, c]) for c in range(channels)]
        if kind != "wind":  # wind is at the microphones, not in the room
            noise_room = room(room_rng, channels, rt60, drr, np.zeros(channels))
            noises = [convolve(noises[c], noise_room[:, c]) for c in range(channels)]

    if extras:
        noise_gain = np.sqrt(np.sum(speeches[0]**2) / np.sum((gains[0] * noises[0]) ** 2)
                             / 10 ** (snr_db / 10))
    else:
        noise_gain = np.sqrt(np.sum(s**2) / np.sum(noise[:n] ** 2) / 10 ** (snr_db / 10))
    mix = np.zeros((n, channels))
    for c in range(channels):
        mix[:, c] = speeches[c] + noise_gain * gains[c] * noises[c] + sensors[c]
    if "dead" in extras:
        mix[:, extras["dead"]] = 0.0
    peak = np.max(np.abs(mix))
    scale = 0.9 / peak if peak > 0.9 else 1.0
    clean = speeches[0]
    if "silence" in extras:
        zeros = int(extras["silence"] * RATE)
        mix = np.concatenate([np.zeros((zeros, channels)), mix])
        clean = np.concatenate([np.zeros(zeros), clean])
    folder = os.path.join(outdir, name)
    os.makedirs(folder, exist_ok=True)
    write_wav(os.path.join(folder, "noisy.wav"), mix * scale)
    write_wav(os.path.join(folder, "clean.wav"), clean * scale)
    print(f"{folder}: {len(mix) / RATE:.2f} s, {describe(channels, kind, snr_db, extras)}")


# Seeds of the held-out items start here, far from the development items' 0, 1, 2, ...
HELD_OUT_SEED = 1000


# Seeds of redrawn development items (--draw K) start at K * DRAW_SEEDS, below HELD_OUT_SEED.
DRAW_SEEDS = 100


def main():
    args = sys.argv[1:]
    held = "--held-out" in args
    voices = "--voices" in args
    args = [a for a in args if a not in ("--held-out", "--voices")]
    draw = 0
    if "--draw" in args:
        at = args.index("--draw")
        value = args[at + 1] if at + 1 < len(args) else ""
        if not value.isdigit() or not 1 <= int(value) < HELD_OUT_SEED // DRAW_SEEDS or held:
            raise SystemExit(f"make_examples.py: --draw takes a number from 1 to "
                             f"{HELD_OUT_SEED // DRAW_SEEDS - 1}, without --held-out; got "
                             f"'{value}'")
        draw = int(value)
        del args[at:at + 2]
    if len(args) > 1 or any(a.startswith("-") for a in args):
        raise SystemExit("usage: make_examples.py [--held-out | --draw K [--voices]] [OUTDIR]")
    if voices and not draw:
        raise SystemExit("make_examples.py: --voices needs --draw K")
    outdir = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    if held:
        for i, item in enumerate(held_out(ITEMS)):
            # Louder voices than the development set's: 1 dB keeps sox from clipping them.
            make(outdir, *item, seed=HELD_OUT_SEED + i, talkers=BABBLE_HELD_OUT,
                 others=TALKERS_HELD_OUT, headroom_db=1.0)
    else:
        # A draw keeps the development items' conditions, voices and lines, and draws the
        # noise, the delays, the sensors and the rooms again: more items to tune on, none
        # of them held out.
        items = other_voices(ITEMS, draw) if voices else ITEMS
        for i, item in enumerate(items):
            make(outdir, *item, seed=draw * DRAW_SEEDS + i)


if __name__ == "__main__":
    main()
