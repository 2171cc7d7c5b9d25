#!/usr/bin/env python3
"""Prints the 16-bit expansion of every G.711 code 0..255, one value a line,
as an independent decoder computes it.

usage: g711_reference.py alaw|ulaw audioop|sox [path-to-sox]

Both decoders give 16-bit values on the same scale as ours (A-law 0xD5 -> 8,
u-law 0x00 -> -32124), so no rescaling is needed. Exit status 77: the chosen
decoder is not available here.
"""
import struct
import subprocess
import sys
import warnings


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("alaw", "ulaw") or sys.argv[2] not in ("audioop", "sox"):
        sys.stderr.write(__doc__)
        return 2
    law, tool = sys.argv[1], sys.argv[2]
    codes = bytes(range(256))
    if tool == "audioop":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # deprecated since Python 3.11
            try:
                import audioop
            except ImportError:
                sys.stderr.write("audioop is not available in this Python\n")
                return 77
        pcm = audioop.alaw2lin(codes, 2) if law == "alaw" else audioop.ulaw2lin(codes, 2)
        if sys.byteorder != "little":
            pcm = audioop.byteswap(pcm, 2)
    else:
        sox = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else "sox"
        encoding = "a-law" if law == "alaw" else "u-law"
        try:
            run = subprocess.run(
                [sox, "-t", "raw", "-r", "8000", "-e", encoding, "-b", "8", "-c", "1", "-",
                 "-t", "raw", "-e", "signed", "-b", "16", "-L", "-"],
                input=codes, capture_output=True, check=True)
        except FileNotFoundError:
            sys.stderr.write("sox is not installed\n")
            return 77
        pcm = run.stdout
    if len(pcm) != 512:
        sys.stderr.write("expected 512 bytes of PCM, got %d\n" % len(pcm))
        return 1
    for value in struct.unpack("<256h", pcm):
        print(value)
    return 0


if __name__ == "__main__":
    sys.exit(main())
