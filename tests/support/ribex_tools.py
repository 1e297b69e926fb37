"""What the host-side tests of our tools share: a list of checks, Wine
paths, and the programs of the build run to their end or in the background.

    import ribex_tools
    from ribex_tools import Started, check, command, run, win
    ribex_tools.use_build(WINE_RUN, BIN_DIR)
    ...
    return ribex_tools.summary()
"""
import os
import select
import subprocess
import time

_build = {}
failures = []


def use_build(wine_run, bin_dir):
    """The build's Wine wrapper and its folder of programs."""
    _build["wine_run"] = wine_run
    _build["bin_dir"] = bin_dir


def check(condition, what, detail=""):
    if condition:
        print("ok: " + what, flush=True)
        return True
    failures.append(what)
    print("FAIL: %s\n%s" % (what, detail), flush=True)
    return False


def wait_until(condition, timeout, poll=0.1):
    """Calls condition() every poll seconds until it returns something true
    (which is returned) or timeout seconds have passed (then its last
    answer is returned): a test waits for what it expects, with a bound."""
    end = time.monotonic() + timeout
    while True:
        answer = condition()
        if answer or time.monotonic() >= end:
            return answer
        time.sleep(poll)


def summary():
    """Prints the count of failed checks; the exit code for the test."""
    print("%d failures" % len(failures))
    return 1 if failures else 0


def win(path):
    """A host path as Wine's Z: drive shows it."""
    return "Z:" + path.replace("/", "\\")


def command(program, args):
    return [_build["wine_run"], os.path.join(_build["bin_dir"], program + ".exe")] + [str(a) for a in args]


def run(program, *args, timeout=120):
    """Runs a program of the build to its end: exit code, stdout, stderr."""
    done = subprocess.run(command(program, args), capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


class Started:
    """A program of ours running in the background, its output captured."""

    def __init__(self, program, *args):
        self.proc = subprocess.Popen(command(program, args), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.err = b""
        self.out = b""

    def wait_for(self, text, timeout=60, stream="stderr"):
        """Reads stderr (or stdout) until text shows up; False if the program
        ends first. What was read stays in self.err (self.out)."""
        pipe = self.proc.stderr if stream == "stderr" else self.proc.stdout
        attr = "err" if stream == "stderr" else "out"
        end = time.time() + timeout
        fd = pipe.fileno()
        while text.encode() not in getattr(self, attr) and time.time() < end:
            if select.select([fd], [], [], 0.5)[0]:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                setattr(self, attr, getattr(self, attr) + chunk)
        return text.encode() in getattr(self, attr)

    def finish(self, timeout=120):
        """Waits for the end (kills it after timeout): code, stdout, stderr."""
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        self.err += err
        self.out += out
        return self.proc.returncode, self.out.decode(errors="replace"), self.err.decode(errors="replace")
