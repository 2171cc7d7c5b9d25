#!/usr/bin/env python3
"""corvane-cli.exe under Wine against the Linux recorder simulator: `list`
prints the simulator's call, and `listen` plays it through WinMM and Wine's
PulseAudio driver into a private PulseAudio daemon, whose pipe sink captures
exactly what reached it. The capture must equal the G.711 expansion of the
bytes the simulator sent, with silence only before and after.

Usage: cli_under_wine.py CORVANE_CLI_EXE
Environment: WINEPREFIX; CORVANE_HOST_SIM and CORVANE_HOST_INI, the build
machine's quorin-sim and corvane-ini (scripts/test sets them)."""

import audioop  # the independent A-law decoder the G.711 tests compare with
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

WINE = "/usr/lib/wine/wine64"
FRAMES = 4096
BLOCKS = 4


def fail(text):
    print("FAILED: " + text)
    sys.exit(1)


def run(args, env, timeout):
    done = subprocess.run(args, env=env, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def trimmed(samples):
    first, last = 0, len(samples)
    while first < last and samples[first] == 0:
        first += 1
    while last > first and samples[last - 1] == 0:
        last -= 1
    return samples[first:last]


def samples_of(raw):
    return [int.from_bytes(raw[i:i + 2], "little", signed=True) for i in range(0, len(raw) - 1, 2)]


def main():
    cli = sys.argv[1]
    sim_exe = os.environ.get("CORVANE_HOST_SIM")
    ini_exe = os.environ.get("CORVANE_HOST_INI")
    if not sim_exe or not ini_exe or "WINEPREFIX" not in os.environ:
        fail("WINEPREFIX, CORVANE_HOST_SIM and CORVANE_HOST_INI must be set (scripts/test sets them)")

    with tempfile.TemporaryDirectory() as tmp:
        run_dir = os.path.join(tmp, "run")
        os.mkdir(run_dir, 0o700)
        os.makedirs(os.path.join(tmp, "config", "pulse"))
        with open(os.path.join(tmp, "config", "pulse", "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        env = dict(os.environ, HOME=tmp, XDG_RUNTIME_DIR=run_dir,
                   XDG_CONFIG_HOME=os.path.join(tmp, "config"),
                   PULSE_SERVER="unix:" + os.path.join(run_dir, "pulse", "native"))
        fifo = os.path.join(tmp, "capture.fifo")
        procs = []
        try:
            pulse = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                 "--use-pid-file=no", "--load=module-native-protocol-unix",
                 "--load=module-pipe-sink sink_name=cap file=%s format=s16le rate=8000 channels=1 "
                 "use_system_clock_for_timing=yes" % fifo],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            procs.append(pulse)
            for _ in range(100):
                if run(["pactl", "info"], env, 10)[0] == 0:
                    break
                time.sleep(0.1)
            else:
                fail("the private PulseAudio daemon did not start")
            run(["pactl", "set-default-sink", "cap"], env, 10)
            captured = bytearray()

            def drain():
                with open(fifo, "rb") as pipe:
                    while True:
                        piece = pipe.read(4096)
                        if not piece:
                            return
                        captured.extend(piece)

            reader = threading.Thread(target=drain, daemon=True)
            reader.start()

            sim = subprocess.Popen([sim_exe, "--port", "0", "--user", "sup", "--password", "pw",
                                    "--format", "alaw"], stdout=subprocess.PIPE, text=True)
            procs.append(sim)
            port = None
            for line in sim.stdout:
                if "quorin-sim listening on" in line:
                    port = int(line.strip().rsplit(":", 1)[1])
                    break
            if port is None:
                fail("quorin-sim did not start")
            threading.Thread(target=lambda: [None for _ in sim.stdout], daemon=True).start()

            def control(target):
                with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, target)) as answer:
                    return answer.read()

            control("/sim/calls/add?id=7&remoteid=r7&remote=555123&rname=Ann")
            control("/sim/fault?count=1&mode=audio-end&bytes=%d" % (BLOCKS * FRAMES + 300))
            ini = os.path.join(tmp, "client.ini")
            if run([ini_exe, ini, "127.0.0.1:%d" % port, "sup", "pw", "US", "0"], env, 30)[0] != 0:
                fail("corvane-ini could not write " + ini)
            config = "Z:" + ini

            code, out, err = run([WINE, cli, "--config", config, "list"], env, 120)
            fields = out.rstrip("\r\n").split("\t")
            if code != 0 or len(fields) != 8 or fields[0] != "7" or fields[4:6] != ["555123", "Ann"]:
                fail("list under Wine: exit %d, output %r, messages %r" % (code, out, err))
            print("list under Wine: " + out.strip())

            code, out, err = run([WINE, cli, "--config", config, "listen", "7"], env, 180)
            if code != 0:
                fail("listen under Wine ended with %d: %s" % (code, err))
            sent = control("/sim/rtcall/sent?remid=r7")
            if len(sent) != BLOCKS * FRAMES + 300:
                fail("the simulator sent %d bytes" % len(sent))
            # The pipe sink goes on writing silence; let it pass the end.
            time.sleep(1)
        finally:
            for p in reversed(procs):
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
        reader.join(5)

    expected = trimmed(samples_of(audioop.alaw2lin(sent[:BLOCKS * FRAMES], 2)))
    heard = trimmed(samples_of(bytes(captured)))
    if len(expected) < (BLOCKS - 1) * FRAMES:
        fail("the expected stream is mostly silence")
    if heard != expected:
        at = next((i for i, (a, b) in enumerate(zip(heard, expected)) if a != b),
                  min(len(heard), len(expected)))
        fail("the capture (%d samples) differs from the stream (%d samples) at sample %d"
             % (len(heard), len(expected), at))
    print("listen under Wine: %d samples captured, equal to the expansion of what the "
          "simulator sent" % len(heard))


if __name__ == "__main__":
    main()
