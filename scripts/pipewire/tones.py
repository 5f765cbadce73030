#!/usr/bin/env python3
"""Which test tone each channel of a 16-bit WAV recording carries.

    tones.py FILE FREQ[,FREQ...]   prints, per channel, "CHANNEL FREQ SHARE LEVEL": the candidate
                                   frequency with the largest median share of the channel's energy
                                   over 10 ms blocks (0 when the channel is silent), that share, and
                                   the channel's RMS level.
"""
import array
import math
import struct
import sys


def read_wav(path):
    """16-bit PCM, plain or WAVE_FORMAT_EXTENSIBLE (what pw-record writes for many channels)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        sys.exit(f"{path}: not a WAV file")
    at, channels, rate, pcm = 12, 0, 0, b""
    while at + 8 <= len(data):
        kind, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if kind == b"fmt ":
            channels, rate, _, _, bits = struct.unpack("<HIIHH", body[2:16])
            if bits != 16:
                sys.exit(f"{path}: {bits}-bit samples, not 16")
        elif kind == b"data":
            pcm = body  # to the end of the file when the size was never filled in
        at += 8 + size + (size & 1)
    pcm = pcm[:len(pcm) // (2 * channels) * 2 * channels]
    return channels, rate, array.array("h", pcm)


def main():
    path, candidates = sys.argv[1], [float(f) for f in sys.argv[2].split(",")]
    channels, rate, samples = read_wav(path)
    block = rate // 100  # 10 ms: a whole number of periods of every demo tone
    frames = len(samples) // channels
    for channel in range(channels):
        data = [samples[i] / 32768.0 for i in range(channel, frames * channels, channels)]
        level = math.sqrt(sum(v * v for v in data) / max(len(data), 1))
        shares = {f: [] for f in candidates}
        # Every third block is plenty for steady tones and keeps the demo quick.
        for start in range(0, len(data) - block + 1, 3 * block):
            piece = data[start:start + block]
            energy = sum(v * v for v in piece)
            if energy < 1e-6:
                continue
            for f in candidates:
                c = 2 * math.cos(2 * math.pi * f / rate)
                s1 = s2 = 0.0
                for v in piece:
                    s1, s2 = v + c * s1 - s2, s1
                power = s1 * s1 + s2 * s2 - c * s1 * s2
                shares[f].append(2 * power / (block * energy))
        best, share = 0, 0.0
        for f, values in shares.items():
            if values:
                median = sorted(values)[len(values) // 2]
                if median > share:
                    best, share = f, median
        if level < 1e-3:
            best, share = 0, 0.0
        print(f"{channel} {best:g} {share:.2f} {level:.4f}")


if __name__ == "__main__":
    main()
