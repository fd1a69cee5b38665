#!/usr/bin/env python3
"""The shipped program under Wine, as an administrator runs it: a fresh
32-bit prefix, scripted standard input, the whole transcript checked in
order, and nothing left behind. Once more under a pseudo-terminal, to see
the colours as a person sees them."""

import glob
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from terminal import Screen, render_script  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TITLE = "K o r v a l e   A n t i v i r u s   Q u o r V a l l i n   R e m o v a l - v1.0"
RED, GREEN, YELLOW, WHITE = 12, 10, 14, 15
BANNER = "Korvale Antivirus QuorVallin Removal - v1.0\nKorvale Antivirus Research Labs\n\n"

# A driver file is judged when it is larger than 59,392 bytes.
JUDGED_SIZE = 59392


def judged_drivers(prefix, env):
    """The *.sys files of the prefix's drivers folder larger than 59,392 bytes,
    in the order the program's search returns them: the order in which the
    prefix's own `dir` lists them, which walks the folder the same way."""
    folder = os.path.join(prefix, "drive_c", "windows", "system32", "drivers")
    listing = subprocess.run(["wine", "cmd", "/c", "dir", "/b", r"C:\windows\system32\drivers\*.sys"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=True)
    names = [line.strip() for line in listing.stdout.decode("utf-8", "replace").splitlines() if line.strip()]
    judged = [name for name in names if os.path.getsize(os.path.join(folder, name)) > JUDGED_SIZE]
    if not judged:
        raise RuntimeError(f"no driver larger than {JUDGED_SIZE} bytes in {folder}: {names}")
    return judged


def not_verified_lines(drivers):
    """Wine cannot read a volume raw: every judged driver's raw copy fails, so
    no driver can be verified; each gets its "Not verified" line in yellow, in
    the order the search returns them, and none is taken for infected."""
    return [piece for name in drivers
            for piece in (name.ljust(10) + "\t : ", YELLOW, "Not verified\n", WHITE)]


def expected_transcript(drivers):
    """What a run writes under Wine, in order: texts, and colour changes as ints.
    Wine's kernel has no disk driver object, so the helper driver answers that
    it found no disk: the memory scan ends in an error and nothing is repaired."""
    return [
        BANNER,
        "\nError while scanning for QuorVallin\n\n",
        "\n",  # the driver service was stopped and deleted
        *not_verified_lines(drivers),
        "Warning: Failed to remove QuorVallin infection.", "\n",
        "\nPress any key to exit ...\r\n",
    ]


def expected_transcript_with_stand_in(drivers):
    """What a run writes with the test stand-in for the disk class driver
    registered: the helper driver walks to the hooked routine beneath the
    first disk and memory is infected; no driver file can be verified, so no
    infected driver is named and nothing is asked or repaired."""
    return [
        BANNER,
        "\nSystem Memory: ", RED, "Infected", WHITE, " By QuorVallin!\n\n",
        "\n",  # the driver service was stopped and deleted
        *not_verified_lines(drivers),
        "\nPress any key to exit ...\r\n",
    ]


# The test stand-in for the disk class driver: a test-only kernel driver
# registered as the service "Disk", so that "\Driver\Disk" exists in Wine's
# kernel. Wine looks a driver object up by name only among the drivers of
# the same driver host (winedevice.exe), and it puts kernel services in one
# host only when they share a load order group; a service without a group
# gets a host of its own. The program registers its helper driver without a
# group; a service of that name that already exists it points at the image
# it has just written, leaving its load order group as it was. So the
# helper's service is registered beforehand in the stand-in's group: the
# program then starts its own driver beside the stand-in, and removes that
# service as usual.
STAND_IN_SERVICE = "Disk"
STAND_IN_GROUP = "KorvaleTestDiskHost"
STAND_IN_FOLDER = r"C:\korvale-test"
HELPER_SERVICE = "KorvaleNoQuorvallin"
HELPER_IMAGE = "KorvaleNoQuorVallin.sys"


def wine_quiet(env, *args, check=True):
    return subprocess.run(["wine", *args], env=env, check=check,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def temporary_folder(env):
    """The temporary folder of the prefix's user, as a Windows path."""
    echoed = subprocess.run(["wine", "cmd", "/c", "echo", "%TEMP%"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env, check=True)
    return echoed.stdout.decode("utf-8", "replace").strip()


def register_disk_stand_in(prefix, env, image):
    """Copies the stand-in's image into the prefix (outside the drivers
    folder, so that the scan does not judge it), registers it as the kernel
    service "Disk" and starts it, and registers the program's helper service
    in the same group (see above)."""
    folder = os.path.join(prefix, "drive_c", "korvale-test")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(image, os.path.join(folder, os.path.basename(image)))
    wine_quiet(env, "sc", "create", STAND_IN_SERVICE, "type=", "kernel", "start=", "demand",
               "group=", STAND_IN_GROUP, "binpath=", STAND_IN_FOLDER + "\\" + os.path.basename(image))
    wine_quiet(env, "sc", "start", STAND_IN_SERVICE)
    register_helper_beside_stand_in(env)


def register_helper_beside_stand_in(env):
    """The program's helper service, registered in the stand-in's group; each
    run of the program deletes it again."""
    wine_quiet(env, "sc", "create", HELPER_SERVICE, "type=", "kernel", "start=", "demand",
               "group=", STAND_IN_GROUP, "binpath=", temporary_folder(env) + "\\" + HELPER_IMAGE)


def remove_disk_stand_in(prefix, env):
    """Stops and deletes the stand-in's service and removes its image; deletes
    the helper's service too if a failed run left it."""
    wine_quiet(env, "sc", "stop", STAND_IN_SERVICE, check=False)
    wine_quiet(env, "sc", "delete", STAND_IN_SERVICE, check=False)
    wine_quiet(env, "sc", "delete", HELPER_SERVICE, check=False)
    shutil.rmtree(os.path.join(prefix, "drive_c", "korvale-test"), ignore_errors=True)


failures = []
passes = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    (passes if condition else failures).append(what)


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run_piped(exe, env):
    """Standard input and output on pipes: the answer to the final key press is a line end."""
    result = subprocess.run(["wine", exe], input=b"\n", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env, timeout=300)
    return result.returncode, result.stdout


def read_output(process, deadline, on_output=None):
    """Reads the process's standard output until it ends or the deadline
    passes; after every wait of at most half a second, on_output (when
    given) sees everything read so far."""
    output = b""
    fd = process.stdout.fileno()
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            output += chunk
        if on_output is not None:
            on_output(output)
        if process.poll() is not None and not ready:
            break
    return output


def run_on_terminal(exe, env):
    """Under a pseudo-terminal (script(1)); presses Enter once the exit prompt shows."""
    process = subprocess.Popen(["script", "-qfec", f"wine '{exe}'", "/dev/null"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    pressed = False

    def press_enter_at_the_exit_prompt(output):
        nonlocal pressed
        if pressed:
            return
        screen = Screen()
        screen.feed(output)
        if any(text == "Press any key to exit ..." for text, _ in screen.rows()):
            time.sleep(1)  # a key typed before the console reads is not always kept
            process.stdin.write(b"\r")
            process.stdin.flush()
            pressed = True

    output = read_output(process, time.time() + 120, press_enter_at_the_exit_prompt)
    if process.poll() is None:
        process.kill()
    return process.wait(), output


def left_behind(prefix, env, drivers):
    service = subprocess.run(["wine", "reg", "query", r"HKLM\System\CurrentControlSet\Services\KorvaleNoQuorvallin"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env).returncode == 0
    files = glob.glob(os.path.join(prefix, "drive_c", "**", "KorvaleNoQuorVallin.sys"), recursive=True)
    # Each run's work folder under the temporary folder, and anything in it.
    files += glob.glob(os.path.join(prefix, "drive_c", "**", "KorvaleNoQuorVallin-*"), recursive=True)
    # The scan's raw copies bear the drivers' names.
    files += [path for name in drivers
              for path in glob.glob(os.path.join(prefix, "drive_c", "users", "**", name), recursive=True)]
    return service, files


def run_with_open_stdin(exe, args, env, cwd=None, timeout=180):
    """Runs with switches and standard input on a pipe that is never written
    nor closed: a run that waits for input does not end before the timeout.
    Returns (exit code, output), or (None, output) when it had to be killed."""
    process = subprocess.Popen(["wine", exe, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env, cwd=cwd)
    deadline = time.time() + timeout
    output = read_output(process, deadline)
    try:
        status = process.wait(timeout=max(1.0, deadline - time.time()))
    except subprocess.TimeoutExpired:
        status = None
        process.kill()
        process.wait()
    process.stdin.close()
    return status, output


def check_usage_switches(exe, prefix, env, drivers):
    """/? shows the usage and ends; an unknown switch shows it and runs nothing."""
    status, output = run_with_open_stdin(exe, ["/?"], env)
    text = output.decode("utf-8", "replace")
    check(status == 0, f"/?: exit code 0 without waiting for input (got {status})")
    check(text.startswith("Usage: KorvaleNoQuorVallin") and "Korvale Antivirus" not in text,
          "/?: the usage text and nothing else")

    status, output = run_with_open_stdin(exe, ["/scan", "/bogus"], env)
    text = output.decode("utf-8", "replace")
    check(status == 5, f"unknown switch: exit code 5 without waiting for input (got {status})")
    check(text.startswith("Usage: KorvaleNoQuorVallin") and "Korvale Antivirus" not in text,
          "unknown switch: the usage text and nothing else")
    service, files = left_behind(prefix, env, drivers)
    check(not service and not files, f"unknown switch: no service created, no driver written {files}")


def check_scan_log(exe, prefix, env, drivers):
    """/scan with a log given as a relative path, twice: the code, the log's
    header, the console text without colour, the closing line; the second
    run appends its own record."""
    folder = os.path.join(prefix, "drive_c", "logs")
    os.makedirs(folder, exist_ok=True)
    log_path = os.path.join(folder, "scan.log")
    header_start = b"=== KorvaleNoQuorVallin v1.0 run at "
    closing = b"=== Exit code 3: the memory inspection could not be made ===\r\n"
    outputs = []
    for attempt in (1, 2):
        status, output = run_with_open_stdin(exe, ["/scan", "/log:scan.log"], env, cwd=folder)
        outputs.append(output)
        check(status == 3, f"/scan run {attempt} in a plain prefix: exit code 3 without waiting (got {status})")
        check(b"Error while scanning for QuorVallin" in output and b"Press any key" not in output,
              f"/scan run {attempt}: the inspection's error, no exit prompt")
    service, files = left_behind(prefix, env, drivers)
    check(not service and not files, f"/scan: nothing left behind {files}")

    log = open(log_path, "rb").read() if os.path.exists(log_path) else b""
    records = log.split(b"\r\n" + header_start)  # an empty line between records
    check(len(records) == 2 and log.startswith(header_start), "the log holds two records, each after a header")
    for number, (record, output) in enumerate(zip(records, outputs), 1):
        header, _, rest = record.partition(b" ===\r\n")
        check(re.fullmatch(rb"(=== KorvaleNoQuorVallin v1\.0 run at )?\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ on computer "
                           rb"\S+, Windows \d+\.\d+ build \d+( .*)?", header) is not None,
              f"record {number}: header with UTC time, computer and Windows version {header!r}")
        # The console's text, byte for byte as the piped console got it
        # (line ends included), without colour: nothing but text reaches a pipe.
        check(rest == output + closing, f"record {number}: the console transcript, then the closing line")
        if rest != output + closing:
            at = next((i for i, (a, b) in enumerate(zip(rest, output)) if a != b), min(len(rest), len(output)))
            print("  log:    ", repr(rest[max(0, at - 100):at + 200]))
            print("  console:", repr(output[max(0, at - 100):at + 200]))
    if log:
        print("--- the log written by the two /scan runs")
        print(log.decode("utf-8", "replace").replace("\r\n", "\n"), end="")
        print("---")


def check_scan_beside_stand_in(exe, prefix, env, drivers):
    """/scan where memory is infected: one finding, so code 1, no question."""
    register_helper_beside_stand_in(env)
    status, output = run_with_open_stdin(exe, ["/scan"], env)
    check(status == 1, f"/scan beside the hooked disk stand-in: exit code 1 without waiting (got {status})")
    check(b"System Memory: Infected By QuorVallin!" in output and b"[y/n]" not in output
          and b"Press any key" not in output, "/scan beside the stand-in: memory infected, no question, no prompt")
    service, files = left_behind(prefix, env, drivers)
    check(not service and not files, f"/scan beside the stand-in: nothing left behind {files}")


def check_piped_run(exe, env, prefix, drivers, expected, what):
    """Runs the program on pipes and checks its exit code, its whole
    transcript and that it left nothing behind."""
    status, output = run_piped(exe, env)
    check(status == 0, f"{what}: exit code 0 (got {status})")
    expected_text = "".join(p for p in expected if isinstance(p, str))
    transcript = output.replace(b"\r\n", b"\n").decode("utf-8", "replace")
    check(transcript == expected_text, f"{what}: the whole transcript, in order")
    if transcript != expected_text:
        print("expected:", repr(expected_text))
        print("got:     ", repr(transcript))
    service, files = left_behind(prefix, env, drivers)
    check(not service, f"{what}: no service KorvaleNoQuorvallin left in the registry")
    check(not files, f"{what}: no KorvaleNoQuorVallin.sys left behind {files}")


def main():
    exe = os.path.abspath(sys.argv[1])
    # The test stand-in for the disk class driver (a build of
    # tests/wine/drivers/DiskClassStandIn.cpp), when given.
    stand_in = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
    prefix = tempfile.mkdtemp(prefix="korvale-e2e.")
    env = wine_env(prefix)
    try:
        subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix.sh"), prefix], check=True)
        drivers = judged_drivers(prefix, env)
        expected = expected_transcript(drivers)

        check_piped_run(exe, env, prefix, drivers, expected, "no disk driver")

        status, output = run_on_terminal(exe, env)
        check(status == 0, f"exit code 0 under a terminal (got {status})")
        screen = Screen()
        screen.feed(output)
        check(screen.title == TITLE, f"console title {screen.title!r}")
        shown, wanted = screen.rows(), render_script(expected)
        check([t for t, _ in shown] == [t for t, _ in wanted], "the screen shows the transcript")
        colours_match = all(
            len(sa) == len(wa) and all(s == w for s, w, ch in zip(sa, wa, st) if ch != " ")
            for (st, sa), (_, wa) in zip(shown, wanted))
        check(colours_match, "every character in its colour")
        if not colours_match or [t for t, _ in shown] != [t for t, _ in wanted]:
            for (st, sa), (wt, wa) in zip(shown, wanted):
                print(f"  shown  {st!r} {sa}\n  wanted {wt!r} {wa}")
        service, files = left_behind(prefix, env, drivers)
        check(not service and not files, "nothing left behind after the terminal run")

        check_usage_switches(exe, prefix, env, drivers)
        check_scan_log(exe, prefix, env, drivers)
        if stand_in is None:
            print("skip the run with the disk class stand-in: no stand-in image given")
        elif not os.path.isfile(stand_in):
            check(False, f"the disk class stand-in {stand_in} exists")
        else:
            register_disk_stand_in(prefix, env, stand_in)
            try:
                check_piped_run(exe, env, prefix, drivers, expected_transcript_with_stand_in(drivers),
                                "hooked disk stand-in")
                check_scan_beside_stand_in(exe, prefix, env, drivers)
            finally:
                remove_disk_stand_in(prefix, env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix, ignore_errors=True)

    print(f"e2e: {len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    # Stopped at the tier's time limit: leave through main's clean-up, so
    # that no wineserver and no prefix outlive the test.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
