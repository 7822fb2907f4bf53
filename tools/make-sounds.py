#!/usr/bin/env python3
"""Generates the alert sounds shipped in dist/Media/ (16-bit mono PCM wave files).

Run again after changing a sound; the generated files are committed.
"""
import math
import os
import struct
import wave

RATE = 22050


def tone(freqs, seconds, decay=4.0, volume=0.5):
    """A sum of sine partials with an exponential fade, as samples in -1..1."""
    count = int(RATE * seconds)
    out = []
    for i in range(count):
        t = i / RATE
        envelope = math.exp(-decay * t) * min(1.0, i / (0.005 * RATE))
        value = sum(math.sin(2 * math.pi * f * t) / (n + 1) for n, f in enumerate(freqs))
        out.append(volume * envelope * value / len(freqs))
    return out


def silence(seconds):
    return [0.0] * int(RATE * seconds)


def write(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        frames = b"".join(struct.pack("<h", int(max(-1.0, min(1.0, s)) * 32767)) for s in samples)
        w.writeframes(frames)


SOUNDS = {
    # A soft two-note chime for ordinary new mail.
    "chime": tone([880, 1760], 0.35, 6) + tone([1318.5, 2637], 0.6, 5),
    # A single short bell.
    "ding": tone([1568, 3136, 4704], 0.7, 6),
    # Three quick rising beeps for priority mail.
    "priority": tone([988], 0.12, 2, 0.6) + silence(0.05) + tone([1319], 0.12, 2, 0.6)
    + silence(0.05) + tone([1760], 0.25, 3, 0.6),
    # A low knock, for mailboxes that should be noticed without fuss.
    "knock": tone([220, 440], 0.15, 18, 0.8) + silence(0.1) + tone([220, 440], 0.2, 18, 0.8),
}


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    media = os.path.join(top, "dist", "Media")
    os.makedirs(media, exist_ok=True)
    for name, samples in SOUNDS.items():
        write(os.path.join(media, name + ".wav"), samples)


if __name__ == "__main__":
    main()
