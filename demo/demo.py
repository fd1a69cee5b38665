#!/usr/bin/env python3
"""make demo: a simulated infection in a throwaway 32-bit Wine prefix, and
the program's road through it, from detection to restore.

The prefix is laid out as an infected machine; KorvaleDemo.exe (the program
linked with the Wine tests' stand-ins, demo/DemoMain.cpp) runs in it in the
terminal, and the person answers its question (DEMO_ANSWER=y or n answers
for them). Afterwards a few lines say what changed on that machine; when the
repair kept a quarantine, the shipped KorvaleNoQuorVallin.exe puts it back
with /restore: and a few lines say what is back. The prefix is removed at
the end, however the demo ends.

Every line this script prints begins with LABEL; the program's own output
is passed on unchanged between two labelled lines.

    demo/demo.py BUILD_DIR JOBS SCENARIO [ANSWER]
"""

import hashlib
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from terminal import Screen  # noqa: E402

LABEL = "SIMULATION | "
HEADER = ("Simulated infection under Wine: the memory inspection, the raw copy and the "
          "data-stream query are test stand-ins.")

# The simulated machine.
DRIVER = "atapi.sys"            # the infected system driver
DRIVER_MODEL = "scsiport.sys"   # the Wine driver whose bytes it is given
ALTERED_AT, ALTERED_SIZE = 0x1000, 0x1000  # where its clusters differ
ROOTKIT_FOLDER = "$NtUninstallKB5150$"
ROOTKIT_FILES = ["@", "sub\\@"]
STREAM_HOST, STREAM = "kqvdemo.dll", "svc.exe"
HIDDEN_IMAGE = f"{STREAM_HOST}:{STREAM}"
SERVICE = "kqvdemo"
# Windows keeps a service under ControlSet001 (CurrentControlSet shows that
# set); a Wine prefix has a CurrentControlSet key of its own and no
# ControlSet001, so the service is planted under both.
SERVICE_KEYS = [f"HKLM\\SYSTEM\\ControlSet001\\Services\\{SERVICE}",
                f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{SERVICE}"]
LOG = "C:\\windows\\logs\\Korvale.log"

# What each scenario lays out and runs. "memory" is the reply the stand-in
# gives for the memory inspection; "runs" are the program's command lines
# (an empty one is the interactive run, which asks and waits for a key).
SCENARIOS = {
    "data-stream": dict(
        what="memory infected by the variant that hides its executable in a data stream",
        memory="data-stream", rootkit=True, runs=[[]]),
    "driver-file": dict(
        what="memory infected by the driver-file variant only",
        memory="driver-file", rootkit=False, runs=[[]]),
    "clean": dict(
        what="a clean machine: memory clean, every driver's raw copy equal to its ordinary read",
        memory="clean", rootkit=False, clean=True, runs=[["/scan"]]),
    "not-removed": dict(
        what="the driver-file variant, with a rootkit that writes its bytes back over the replaced driver",
        memory="driver-file", rootkit=False, writes_back=True, runs=[["/repair"]]),
    "switches": dict(
        what="the data-stream variant, run unattended with switches and a log",
        memory="data-stream", rootkit=True, runs=[["/scan", "/log:" + LOG], ["/repair", "/noreboot", "/log:" + LOG]]),
}


def say(text=""):
    print(LABEL + text, flush=True)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Machine:
    """The throwaway prefix and what the demo planted in it."""

    def __init__(self, folder):
        self.folder = folder
        self.prefix = os.path.join(folder, "prefix")
        self.stand_ins = os.path.join(folder, "stand-ins")  # outside the simulated machine
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win32", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.hidden = None

    def path(self, windows_path):
        """The Linux path of a C:\\ path in the prefix (given as it is spelt
        there: Wine's own folders in lower case)."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def wine(self, *args, check=True):
        return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, check=check)

    def key_values(self, key):
        """The key's values as `reg query` lists them, or None when there is no such key."""
        result = self.wine("reg", "query", key, check=False)
        if result.returncode != 0:
            return None
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        return sorted(" ".join(line.split()) for line in lines if line.startswith("    "))

    def quarantines(self):
        folder = self.path("C:\\windows\\KorvaleQuarantine")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def driver_path():
    return f"C:\\windows\\system32\\drivers\\{DRIVER}"


def rootkit_file(name):
    return f"C:\\windows\\{ROOTKIT_FOLDER}\\{name}"


def lay_out(machine, scenario, hidden_exe):
    """Plants the simulated infection and says what it is. Returns the facts
    that the later lines compare with, and the demo build's environment
    that tells its stand-ins what to answer."""
    say(f"Laying out the simulated machine: {scenario['what']}.")
    os.makedirs(machine.stand_ins)
    facts = {}
    env = {"KORVALE_DEMO_MEMORY": scenario["memory"]}
    plant_driver(machine, scenario, facts, env)
    if scenario["rootkit"]:
        plant_rootkit(machine, hidden_exe, facts, env)
    memory = {"data-stream": "a machine infected by the data-stream variant",
              "driver-file": "a machine infected by the driver-file variant",
              "clean": "a clean machine"}[scenario["memory"]]
    say(f"  memory inspection (stand-in): the helper driver's reply on {memory}")
    return facts, env


def plant_driver(machine, scenario, facts, env):
    """A large system driver; unless the machine is clean, what its clusters
    hold (for the raw copy stand-in) differs from what the file system serves."""
    drivers = machine.path("C:\\windows\\system32\\drivers")
    model = os.path.join(drivers, DRIVER_MODEL)
    if not os.path.exists(model):
        model = max((os.path.join(drivers, n) for n in os.listdir(drivers) if n.endswith(".sys")),
                    key=os.path.getsize)
    ordinary = read(model)
    shutil.copyfile(model, machine.path(driver_path()))
    facts["ordinary"] = sha256(ordinary)
    facts["inode"] = os.stat(machine.path(driver_path())).st_ino
    say(f"  {driver_path()}: {len(ordinary):,} bytes, a copy of Wine's {os.path.basename(model)}")
    say(f"    read the ordinary way:       SHA-256 {facts['ordinary']}")
    if scenario.get("clean"):
        say("    its raw copy (stand-in):     the same bytes, as for every other driver")
        return
    filler = b"stand-in for the rootkit's code in the driver's clusters. "
    clusters = bytearray(ordinary)
    clusters[ALTERED_AT:ALTERED_AT + ALTERED_SIZE] = (filler * (ALTERED_SIZE // len(filler) + 1))[:ALTERED_SIZE]
    clusters_file = os.path.join(machine.stand_ins, DRIVER + ".clusters")
    with open(clusters_file, "wb") as f:
        f.write(clusters)
    facts["clusters"] = sha256(clusters)
    say(f"    its raw copy (stand-in):     SHA-256 {facts['clusters']} "
        f"({ALTERED_SIZE:,} bytes at offset {ALTERED_AT:#x} differ)")
    if scenario.get("writes_back"):
        say("    and the stand-in serves those bytes for any file put in its place: the rootkit writes them back")
    env.update(KORVALE_DEMO_DRIVER=DRIVER, KORVALE_DEMO_CLUSTERS="Z:" + clusters_file.replace("/", "\\"),
               KORVALE_DEMO_WRITES_BACK="1" if scenario.get("writes_back") else "0")


def plant_rootkit(machine, hidden_exe, facts, env):
    """The rootkit's folder with its "@" files, its executable hidden in a
    data stream and running, and the service that starts it."""
    facts["rootkit_files"] = {}
    for name in ROOTKIT_FILES:
        path = machine.path(rootkit_file(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        content = b"MZ stand-in for the rootkit's file " + name.encode() + b"\r\n"
        with open(path, "wb") as f:
            f.write(content)
        facts["rootkit_files"][name] = sha256(content)
    for attribute in ("+h", "+s"):  # Wine's attrib takes one at a time
        machine.wine("attrib", attribute, f"C:\\windows\\{ROOTKIT_FOLDER}")
    say(f"  C:\\windows\\{ROOTKIT_FOLDER} (hidden, system), the rootkit's folder: " + ", ".join(ROOTKIT_FILES))

    # Wine keeps "file:stream" as a file of its own; the scan opens the
    # stream by its full name ("file:stream:$DATA"), a second name of the
    # same file here.
    with open(machine.path(f"C:\\windows\\{STREAM_HOST}"), "wb") as f:
        f.write(b"stand-in for the file that carries the stream\r\n")
    hidden = machine.path(f"C:\\windows\\{HIDDEN_IMAGE}")
    shutil.copyfile(hidden_exe, hidden)
    os.link(hidden, hidden + ":$DATA")
    facts["hidden"] = sha256(read(hidden))
    machine.hidden = subprocess.Popen(["wine", f"C:\\windows\\{HIDDEN_IMAGE}"], env=machine.env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_process(machine, HIDDEN_IMAGE)
    say(f"  C:\\windows\\{HIDDEN_IMAGE}: a stand-in executable hidden in a data stream, running; "
        "the stream query stand-in lists the stream")
    env.update(KORVALE_DEMO_STREAM_HOST=f"C:\\windows\\{STREAM_HOST}", KORVALE_DEMO_STREAM=STREAM)

    for key in SERVICE_KEYS:
        for value, kind, data in (("ImagePath", "REG_EXPAND_SZ", f"C:\\windows\\{HIDDEN_IMAGE}"),
                                  ("Type", "REG_DWORD", "16"), ("Start", "REG_DWORD", "2")):
            machine.wine("reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")
    facts["service"] = {key: machine.key_values(key) for key in SERVICE_KEYS}
    say(f"  {SERVICE_KEYS[0]}: the service that starts it, ImagePath C:\\windows\\{HIDDEN_IMAGE}")
    say("    (and under CurrentControlSet, which Wine keeps as a key of its own)")


def wait_for_process(machine, image, timeout=20):
    """Until a process of the prefix started from the image runs (Wine shows
    its Windows path in the command line)."""
    deadline = time.time() + timeout
    mark = b"WINEPREFIX=" + machine.prefix.encode() + b"\0"
    while time.time() < deadline:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if image.encode() in read(f"/proc/{pid}/cmdline") and mark in read(f"/proc/{pid}/environ"):
                    return
            except OSError:
                pass
        time.sleep(0.2)
    raise RuntimeError(f"the stand-in process {image} did not start")


def run_program(machine, exe, args, env, answer):
    """Runs the program and passes its output on unchanged, between two
    labelled lines; returns its exit code. With None for the answer (a
    person at a terminal) it runs on the terminal and the person types. Otherwise it
    runs under a pseudo-terminal (script(1)), so that Wine still writes the
    colours, and the answer is typed at the question and Enter at the exit
    prompt."""
    command = [os.path.basename(exe), *args]
    say(f"----- {' '.join(command)}: the program's own output -----")
    run_env = dict(machine.env, **env)
    if answer is None:
        status = subprocess.run(["wine", exe, *args], env=run_env).returncode
    else:
        status = run_on_pseudo_terminal(exe, args, run_env, answer)
    say(f"----- end of the program's output: exit code {status} -----")
    return status


def run_on_pseudo_terminal(exe, args, env, answer):
    line = "wine " + " ".join(shlex.quote(a) for a in [exe, *args])
    process = subprocess.Popen(["script", "-qfec", line, "/dev/null"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    output = b""
    answered = pressed = False
    deadline = time.time() + 300
    fd = process.stdout.fileno()
    ended = False
    while time.time() < deadline:
        # Once the program has ended, what it wrote last is read to the end.
        ended = ended or process.poll() is not None
        ready, _, _ = select.select([fd], [], [], 0.5)
        chunk = os.read(fd, 65536) if ready else b""
        if ready and not chunk or ended and not ready:
            break
        output += chunk
        sys.stdout.buffer.write(chunk)
        sys.stdout.flush()
        screen = Screen()
        screen.feed(output)
        rows = screen.rows()
        last = rows[-1][0] if rows else ""
        typed = None
        if last.endswith("[y/n]") and answer and not answered:
            typed, answered = answer, True
        elif last == "Press any key to exit ..." and not pressed:
            typed, pressed = "", True
        if typed is not None:
            time.sleep(1)  # a key typed before the console reads is not always kept
            process.stdin.write(typed.encode() + b"\r")
            process.stdin.flush()
    if process.poll() is None:
        process.kill()
    status = process.wait()
    if output and not output.endswith(b"\n"):
        print(flush=True)
    return status


def say_manifest(machine, folder):
    """The quarantine folder's files and one line per object of its manifest."""
    windows_folder = f"C:\\windows\\KorvaleQuarantine\\{folder}"
    local = machine.path(windows_folder)
    names = sorted(os.listdir(local))
    say(f"  the quarantine {windows_folder}: {', '.join(names)}")
    objects, current = [], None
    manifest = read(os.path.join(local, "Manifest.txt")).decode("utf-8", "replace")
    for line in manifest.split("\r\n"):
        field, _, value = line.partition(": ")
        if field == "Object":
            current = {}
            objects.append(current)
        elif current is not None:
            current[field] = value
    for number, entry in enumerate(objects, 1):
        say(f"    object {number}, {entry.get('Kind')}: {entry.get('Original')}, {entry.get('Size')} bytes, "
            f"SHA-256 {entry.get('SHA-256', '')[:16]}..., {entry.get('Action')}")
    return local, objects


def stored_driver_digest(local, objects):
    """The SHA-256 of the driver's stored copy, decoded (every byte XORed with 0xA5)."""
    for entry in objects:
        if entry.get("Original", "").lower() == driver_path().lower():
            stored = read(os.path.join(local, entry["Stored"]))
            return sha256(bytes(b ^ 0xA5 for b in stored))
    return None


def say_driver(machine, facts):
    """The driver now: the same file or another, and which content it holds."""
    path = machine.path(driver_path())
    now = sha256(read(path))
    inode = os.stat(path).st_ino
    if now == facts["ordinary"]:
        what = "the content the file system served before"
    elif now == facts.get("clusters"):
        what = "the bytes of its clusters before the repair, as the quarantine kept them"
    else:
        what = "neither the content served before nor its clusters'"
    file = "the same file" if inode == facts["inode"] else "a new file"
    say(f"  {driver_path()} now: {file}, SHA-256 {now} ({what})")


def say_rootkit(machine, facts, back):
    """The rootkit's files, its hidden executable and its service keys now:
    gone, or still (or, after a restore, back) as they were planted."""
    if "rootkit_files" not in facts:
        return
    for name, digest in facts["rootkit_files"].items():
        path = machine.path(rootkit_file(name))
        if not os.path.exists(path):
            state = "gone"
        elif sha256(read(path)) == digest:
            state = "back, as it was" if back else "still there"
        else:
            state = "there, but changed"
        say(f"  {rootkit_file(name)}: {state}")
    hidden = machine.path(f"C:\\windows\\{HIDDEN_IMAGE}")
    kept = "still there" if os.path.exists(hidden) and sha256(read(hidden)) == facts["hidden"] else "gone or changed"
    say(f"  C:\\windows\\{HIDDEN_IMAGE}: {kept} (a repair deletes the service that starts it, not the stream)")
    for key, values in facts["service"].items():
        now = machine.key_values(key)
        if now is None:
            state = "gone"
        elif now == values:
            state = "back, with its values" if back else "still there"
        else:
            state = "there, with other values"
        say(f"  {key}: {state}")


def remove_server_folder(prefix):
    """Removes the folder in which the prefix's wineserver kept its socket
    (TMPDIR/wine-XXXXXX/server-DEV-INODE, named by the prefix's device and
    inode), and the wine-XXXXXX above it when nothing else is in it."""
    try:
        info = os.stat(prefix)
    except OSError:
        return
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"
    temporary = tempfile.gettempdir()
    for session in [f".wine-{os.getuid()}"] + [n for n in os.listdir(temporary) if n.startswith("wine-")]:
        folder = os.path.join(temporary, session, name)
        if os.path.isdir(folder) and not os.path.islink(folder):
            shutil.rmtree(folder, ignore_errors=True)
            if session.startswith("wine-"):
                try:
                    os.rmdir(os.path.join(temporary, session))
                except OSError:
                    pass  # another session's too


def say_changes(machine, facts):
    """What the run changed on the machine; the quarantine folder it made, if any."""
    say("What changed on the simulated machine:")
    say_driver(machine, facts)
    say_rootkit(machine, facts, back=False)
    folders = machine.quarantines()
    if not folders:
        say("  no quarantine was made: C:\\windows\\KorvaleQuarantine holds nothing")
        return None
    local, objects = say_manifest(machine, folders[-1])
    stored = stored_driver_digest(local, objects)
    if stored is not None:
        source = "the bytes of its clusters, as the raw copy stand-in serves them" \
            if stored == facts.get("clusters") else "not the bytes of its clusters"
        say(f"  the stored copy of {DRIVER}, decoded: SHA-256 {stored} ({source})")
    return folders[-1]


def show_log(machine):
    path = machine.path(LOG)
    say(f"----- {LOG}: the log the program appended to -----")
    sys.stdout.write(read(path).decode("utf-8", "replace").replace("\r\n", "\n"))
    say("----- end of the log -----")


def scenario_answer(scenario, answer):
    """The answer to type; None for a person at the terminal, who types it;
    empty where the program asks nothing and nobody is at a terminal.
    Raises when the question would find nobody to answer it."""
    if answer in ("y", "n"):
        return answer
    if answer:
        raise ValueError(f"DEMO_ANSWER={answer}: give y or n")
    if sys.stdin.isatty() and sys.stdout.isatty():
        return None
    if asks_question(scenario):
        raise ValueError("no terminal to answer the program's question on: give DEMO_ANSWER=y or n")
    return ""


def asks_question(scenario):
    return any(not args for args in scenario["runs"])


def build(build_dir, jobs):
    say("Building KorvaleNoQuorVallin.exe and the demo build KorvaleDemo.exe (never shipped) ...")
    log_path = os.path.join(build_dir, "demo-build.log")
    os.makedirs(build_dir, exist_ok=True)
    with open(log_path, "w") as log:
        for command in (["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake",
                         "-DMINGW_THREADS=win32"],
                        ["cmake", "--build", build_dir, "-j", str(jobs), "--target", "program", "demo_program",
                         "demo_hidden_executable"]):
            if subprocess.run(command, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
                say(f"The build failed; its output is in {log_path}")
                return False
    return True


def simulate(machine, scenario, answer, build_dir):
    """Lays out the machine, runs the program, says what changed; restores
    what a repair kept and says what is back."""
    demo_exe = os.path.join(build_dir, "KorvaleDemo.exe")
    shipped_exe = os.path.join(build_dir, "KorvaleNoQuorVallin.exe")
    say(f"Creating a throwaway 32-bit Wine prefix in {machine.prefix} ...")
    subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix.sh"), machine.prefix], check=True)
    facts, env = lay_out(machine, scenario, os.path.join(build_dir, "KorvaleDemoHidden.exe"))
    if asks_question(scenario) and answer is None:
        say("Answer the program's question yourself (y or n, then Enter), and press Enter at its end.")
    elif asks_question(scenario):
        say(f"DEMO_ANSWER={answer}: the demo types {answer} at the program's question, and Enter at its end.")
    for args in scenario["runs"]:
        run_program(machine, demo_exe, args, env, answer)
    if any(arg.startswith("/log:") for args in scenario["runs"] for arg in args):
        show_log(machine)
    quarantine = say_changes(machine, facts)
    if quarantine is not None:
        folder = f"C:\\windows\\KorvaleQuarantine\\{quarantine}"
        say("Putting back what the repair removed, with the shipped program (no stand-in takes part); "
            "/overwrite, since the driver has changed since:")
        run_program(machine, shipped_exe, [f"/restore:{folder}", "/overwrite"], {}, answer)
        say("After the restore:")
        say_driver(machine, facts)
        say_rootkit(machine, facts, back=True)


def main():
    build_dir = os.path.abspath(os.path.join(sys.argv[1], "win"))
    jobs = sys.argv[2]
    name = sys.argv[3] or "data-stream"
    scenario = SCENARIOS.get(name)
    if scenario is None:
        say(f"make demo: no scenario {name!r}; SCENARIO= one of {', '.join(SCENARIOS)}")
        return 2
    try:
        answer = scenario_answer(scenario, sys.argv[4] if len(sys.argv) > 4 else "")
    except ValueError as error:
        say(f"make demo: {error}")
        return 2
    say(HEADER)
    say("Nothing here is a real machine's: a throwaway Wine prefix, laid out as an infected machine, removed at the end;")
    say("KorvaleDemo.exe is the program built with those stand-ins (never shipped), and it requests no restart.")
    host = subprocess.run([os.path.join(ROOT, "scripts", "host-check.sh")], stdout=subprocess.PIPE, text=True)
    if host.returncode != 0:
        say(f"make demo cannot run here: {host.stdout.strip()}")
        return 1
    if not build(build_dir, jobs):
        return 1

    machine = Machine(tempfile.mkdtemp(prefix="korvale-demo."))
    try:
        simulate(machine, scenario, answer, build_dir)
    except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
        say(f"make demo failed: {error}")
        return 1
    finally:
        if machine.hidden is not None:
            machine.hidden.kill()
        subprocess.run(["wineserver", "-k"], env=machine.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=machine.env, stderr=subprocess.DEVNULL)
        if machine.hidden is not None:
            machine.hidden.wait()
        remove_server_folder(machine.prefix)
        shutil.rmtree(machine.folder, ignore_errors=True)
        say(f"Removed the Wine prefix and the stand-ins' files: {machine.folder}"
            + ("" if not os.path.exists(machine.folder) else " (some of it could not be removed)"))
    say("End of the simulation: no real machine was examined or changed.")
    return 0


if __name__ == "__main__":
    # Stopped by a signal: leave through main's clean-up, so that no
    # wineserver and no prefix outlive the demo.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
