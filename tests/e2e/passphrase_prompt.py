#!/usr/bin/env python3
"""The passphrase prompt, driven through a real pseudo-terminal: a protected
pair is made, a wrong passphrase is refused, the right one extracts, the
passphrase is changed and removed. No typed passphrase shows on the terminal,
no binary output ('-' as the output is refused there), and a long embed shows
its progress, cleared before the closing line.

    passphrase_prompt.py <program> <sample folder>
The program is copied into a fresh folder (its keys/ goes beside it);
VELLICOR_TEST_PROGRAM, where set, names the program instead, and
VELLICOR_TEST_WINDOWS_PROGRAM an exe run under Wine (VELLICOR_TEST_LAUNCHER,
default scripts/wine-run.sh), whose console Wine draws on the terminal."""
import os
import pty
import re
import select
import shutil
import sys
import fcntl
import struct
import tempfile
import termios
import threading
import time

WINDOWS = os.environ.get("VELLICOR_TEST_WINDOWS_PROGRAM", "")
LAUNCHER = os.environ.get("VELLICOR_TEST_LAUNCHER") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "wine-run.sh")


def as_text(shown):
    """What the terminal shows, without the cursor moves Wine's console draws
    with (a blank is drawn as "clear to the end, one column on")."""
    shown = shown.replace(b"\x1b[K\x1b[1C", b" ")
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown).replace(b"\r", b"").decode("latin-1")


def wait_for_the_read(fd):
    """Wine's console takes the terminal out of line mode only while it reads:
    an answer typed before that would be taken by the terminal's own line
    editing. Linux reads in line mode; nothing to wait for."""
    for _ in range(2000):
        if not WINDOWS or not termios.tcgetattr(fd)[3] & termios.ICANON:
            return
        time.sleep(0.005)


def feed_slowly(fd):
    """Four blocks of 1 MiB, half a second apart: an input that takes two seconds."""
    for _ in range(4):
        os.write(fd, b"s" * (1 << 20))
        time.sleep(0.5)
    os.close(fd)


def run(program, args, answers, slow_input=False, raw=False):
    """Runs the program on a new terminal; each (prompt, answer) is answered
    once the prompt shows. With slow_input, standard input is a pipe that
    feed_slowly writes. Gives (exit status, everything the terminal showed,
    as text, or with raw as the bytes themselves)."""
    if slow_input:
        pipe_r, pipe_w = os.pipe()
    pid, fd = pty.fork()
    if pid == 0:
        if slow_input:
            os.dup2(pipe_r, 0)
            os.close(pipe_w)
        # A wide terminal, before anything runs: Wine's console breaks lines at its width.
        fcntl.ioctl(1, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
        os.chdir(os.path.dirname(program))
        if WINDOWS:
            os.execv("/bin/sh", ["sh", LAUNCHER, program] + args)
        os.execv(program, [program] + args)
    if slow_input:
        os.close(pipe_r)
        threading.Thread(target=feed_slowly, args=(pipe_w,)).start()
    shown = b""
    pending = list(answers)
    while True:
        # A run that waits for an answer nobody gives ends the test, not CI.
        if not select.select([fd], [], [], 300)[0]:
            os.kill(pid, 9)
            shown += b"\n(killed: no output for 300 s, waiting for an answer)\n"
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the other side closed: the run ended
            break
        if not chunk:
            break
        shown += chunk
        while pending and pending[0][0] in as_text(shown.split(b"\n")[-1]):
            wait_for_the_read(fd)
            os.write(fd, pending.pop(0)[1].encode() + (b"\r" if WINDOWS else b"\n"))
            shown += b"\n"  # where the answer was, so that the next prompt is on a line of its own
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), shown.decode("latin-1") if raw else as_text(shown)


def main():
    program, samples = sys.argv[1], sys.argv[2]
    program = WINDOWS or os.environ.get("VELLICOR_TEST_PROGRAM") or program
    failures = []
    with tempfile.TemporaryDirectory() as home:
        copy = os.path.join(home, "vellicor.exe" if WINDOWS else "vellicor")
        shutil.copy2(program, copy)
        for name in ("carrier.png", "message.txt"):
            shutil.copy(os.path.join(samples, name), home)
        # A name outside code page 1252, and the banner's dash, as the terminal shows them: the Linux
        # program's bytes as they are, the Windows program's console in characters (UTF-8 here).
        shutil.copy(os.path.join(samples, "carrier.png"), os.path.join(home, "\u043a\u0430\u0440\u0442\u0430.png"))
        dash = "\u2014".encode().decode("latin-1") if WINDOWS else "\x97"
        named = ("Vellicor " + dash + " Post", "carrier PNG '" + "\u043a\u0430\u0440\u0442\u0430.png".encode().decode("latin-1"))
        prv = os.path.join(home, "keys", "kyber.prv")
        new, again, current = "New passphrase", "The same passphrase again", "Passphrase for keys/kyber.prv"
        # (words, answers, exit status, text the terminal shows, kyber.prv's size after, back.txt restored)
        steps = [
            (["genkeys", "--passphrase"], [(new, "horse battery"), (again, "horse battery")], 0,
             "the private key protected by a passphrase", 4815, False),
            (["embed", "message.txt", "\u043a\u0430\u0440\u0442\u0430.png", "s.png"], [], 0, named, 4815, False),
            # Refused before the passphrase is asked for: the terminal gets no binary.
            (["extract", "s.png", "-"], [], 1, "[ERR] the output '-' is standard output, which is a terminal", 4815,
             False),
            (["extract", "s.png", "back.txt"], [(current, "horse batterz")], 1,
             "wrong passphrase, or the file was changed", 4815, False),
            (["extract", "s.png", "back.txt"], [(current, "horse battery")], 0, "[OK] Payload restored", 4815, True),
            (["passphrase"], [(current, "horse battery"), (new, "staple"), (again, "staple")], 0,
             "has a new passphrase", 4815, False),
            (["passphrase"], [(current, "staple"), (new, "x"), (again, "y")], 1, "the two passphrases differ", 4815,
             False),
            (["passphrase"], [(current, "staple"), (new, ""), (again, ""), ("Type yes", "yes")], 0,
             "has no passphrase now", 3168, False),
            (["extract", "s.png", "back.txt"], [], 0, "[OK] Payload restored", 3168, True),
        ]
        for words, answers, status, text, size, restored in steps:
            back = os.path.join(home, "back.txt")
            if os.path.exists(back):
                os.remove(back)
            got, shown = run(copy, words, answers)
            where = " ".join(words) + " " + repr([a for _, a in answers])
            if got != status:
                failures.append(f"{where}: status {got}, expected {status}\n{shown}")
            for piece in text if isinstance(text, tuple) else (text,):
                if piece not in shown:
                    failures.append(f"{where}: '{piece}' not shown\n{shown}")
            for _, answer in answers:
                if len(answer) > 3 and answer in shown:
                    failures.append(f"{where}: the passphrase '{answer}' was shown\n{shown}")
            if os.path.getsize(prv) != size:
                failures.append(f"{where}: kyber.prv has {os.path.getsize(prv)} bytes, expected {size}")
            with open(os.path.join(samples, "message.txt"), "rb") as f:
                message = f.read()
            if restored != (os.path.exists(back) and open(back, "rb").read() == message):
                failures.append(f"{where}: back.txt {'not ' if restored else ''}restored")
        # A long embed shows its progress once it has run for a second, and clears it before the closing line.
        # The line is cleared with blanks (Linux), or as Wine's console draws that ("erase line").
        got, shown = run(copy, ["embed", "-", "carrier.png", "slow.png"], [], slow_input=True, raw=True)
        cursor = r"(\x1b\[\?25[hl])*"
        cleared = r"\d\.\d MiB, \d+\.\d MiB/s" + cursor + r"\r( +\r|\x1b\[K)" + cursor + r"\[OK\] Stego PNG"
        if got != 0 or not re.search(cleared, shown):
            failures.append(f"embed of a slow pipe: status {got}, no progress line cleared before the last\n{shown}")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
