#!/usr/bin/env python3
"""Runs the README's terminal examples as a reader would, after the README's two commands.

Usage: readme_examples.py README BIN_DIR [MOSQUITTO]

A console block (```console) holds commands, each a line "$ COMMAND" (a line ending in "\\"
goes on on the next), and the output shown under it. Every command runs in one scratch folder,
with BIN_DIR first on PATH (the README's PATH line), its own record (KARVELLO_RECORD) and a
time-out. A command ends with status 0 unless it says otherwise ("# status N" at its end). Each
output line shown must be among the lines the command printed, with times, pseudo-terminals and
the record's folder left out of the comparison ("..." shows a line that is not compared).

A "karvello-sim ... --listen HOST:PORT &" line is started by the test on a free loopback port,
and that port takes the place of the README's in every command after it. A block that needs a
broker gets Mosquitto, started on a free loopback port, when MOSQUITTO is given. A block marked
"<!-- not run: REASON -->" on the line before its fence (a real detector, a box on site) is
counted and left out. The README must name no program by its path inside the build tree.
"""

import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP_MARK = re.compile(r"<!--\s*not run:\s*(.+?)\s*-->")
STATUS = re.compile(r"#\s*status\s+(\d+)\s*$")
TIME = re.compile(
    r"\d{4}-\d\d-\d\d[T ]\d\d:\d\d(:\d\d(\.\d+)?)?([+-]\d\d:\d\d|Z)?|\b\d\d:\d\d:\d\d\.\d{3}\b")
PTY = re.compile(r"/dev/pts/\w+")
LISTEN = re.compile(r"--listen\s+(127\.0\.0\.1|localhost):(\d+)")
STALE_PATH = re.compile(r"build/default/src/|build/\w+/src/(app|cli)/karvello")
COMMAND_TIMEOUT = 120


def blocks(readme):
    """The console blocks: (line number, skip reason or None, [(command, status, [output])])."""
    lines = readme.splitlines()
    found = []
    i = 0
    while i < len(lines):
        if lines[i].strip() != "```console":
            i += 1
            continue
        start = i + 1
        before = lines[i - 1] if i > 0 else ""
        mark = SKIP_MARK.search(before)
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i])
            i += 1
        i += 1
        commands = []
        j = 0
        while j < len(body):
            line = body[j]
            if not line.startswith("$ "):
                if commands:
                    commands[-1][2].append(line)
                j += 1
                continue
            command = line[2:]
            while command.endswith("\\") and j + 1 < len(body):
                j += 1
                command = command[:-1] + " " + body[j].strip()
            j += 1
            status = STATUS.search(command)
            commands.append([command, int(status.group(1)) if status else 0, []])
        found.append((start, mark.group(1) if mark else None, commands))
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Where the README's reader has their record: the test's own stands for it.
SHOWN_RECORD = "~/.local/share/karvello/record.csv"


def normal(text, ports, record=None):
    for real, shown in ports.items():
        text = text.replace(":%d" % real, ":%d" % shown)
    if record:
        text = text.replace(record, SHOWN_RECORD)
    text = TIME.sub("TIME", text)
    text = PTY.sub("PTY", text)
    return text.rstrip()


class Run:
    def __init__(self, bin_dir, mosquitto):
        self.work = tempfile.mkdtemp(prefix="karvello-readme-")
        self.env = dict(os.environ)
        self.env["PATH"] = bin_dir + os.pathsep + self.env.get("PATH", "")
        self.env["KARVELLO_RECORD"] = os.path.join(self.work, "record.csv")
        self.env.pop("KARVELLO_MQTT_PASSWORD", None)
        self.mosquitto = mosquitto
        self.children = []
        self.ports = {}  # README's port -> the test's
        self.broker = None
        self.failures = []
        self.ran = 0

    def start_sim(self, command):
        words = shlex.split(command.split("#")[0].replace("&", " "))
        shown = None
        for k, word in enumerate(words):
            if word == "--listen" and k + 1 < len(words):
                host, port = words[k + 1].rsplit(":", 1)
                shown = int(port)
                if shown in self.ports:
                    return  # served already, as the README says
                self.ports[shown] = free_port()
                words[k + 1] = "127.0.0.1:%d" % self.ports[shown]
        if shown is None:
            self.failures.append("%s: a simulator in an example listens nowhere the test can reach"
                                 % command)
            return
        # Its output (every frame) goes to a file, which nothing need keep reading.
        log = os.path.join(self.work, "sim-%d.log" % shown)
        with open(log, "w") as out:
            child = subprocess.Popen(words, cwd=self.work, env=self.env, stdout=out,
                                     stderr=subprocess.STDOUT)
        self.children.append(child)
        deadline = time.time() + 10
        while time.time() < deadline and child.poll() is None:
            with open(log) as said:
                if "Serving" in said.read():
                    return
            time.sleep(0.05)
        with open(log) as said:
            self.failures.append("%s: the simulator did not start\n%s" % (command, said.read()))

    def start_broker(self):
        if self.broker is None:
            port = free_port()
            conf = os.path.join(self.work, "mosquitto.conf")
            with open(conf, "w") as f:
                f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
            child = subprocess.Popen([self.mosquitto, "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            self.children.append(child)
            deadline = time.time() + 10
            while time.time() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", port), 0.5).close()
                    break
                except OSError:
                    time.sleep(0.1)
            self.broker = port
        return self.broker

    def local(self, command):
        """The command with the test's ports in place of the README's."""
        for shown, real in self.ports.items():
            command = re.sub(r"(127\.0\.0\.1|localhost):%d\b" % shown, r"\g<1>:%d" % real, command)
        if self.broker is not None:
            command = re.sub(r"mqtt://localhost\b(?!:)", "mqtt://127.0.0.1:%d" % self.broker,
                             command)
            command = re.sub(r"\b(mosquitto_(sub|pub))\s+-h\s+localhost\b",
                             r"\1 -h 127.0.0.1 -p %d" % self.broker, command)
        return command

    def run(self, command, status, shown):
        if re.match(r"\s*karvello-sim\b", command):
            self.start_sim(command)
            return
        self.ran += 1
        try:
            done = subprocess.run(["bash", "-c", self.local(command)], cwd=self.work,
                                  env=self.env, capture_output=True, text=True,
                                  timeout=COMMAND_TIMEOUT, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            self.failures.append("%s: still running after %d s" % (command, COMMAND_TIMEOUT))
            return
        said = done.stdout + done.stderr
        if done.returncode != status:
            self.failures.append("%s: status %d, not %d\n%s" % (command, done.returncode, status,
                                                                 said))
            return
        reverse = {real: shown for shown, real in self.ports.items()}
        if self.broker is not None:
            reverse[self.broker] = 1883
        printed = {normal(line, reverse, self.env["KARVELLO_RECORD"]) for line in said.splitlines()}
        for line in shown:
            if line.strip() in ("", "..."):
                continue
            if normal(line, {}) not in printed:
                self.failures.append("%s: the README shows\n  %s\nwhich it did not print:\n%s"
                                     % (command, line, said))

    def close(self):
        for child in self.children:
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()


def main():
    if len(sys.argv) < 3:
        print(__doc__.splitlines()[2], file=sys.stderr)
        return 2
    readme_path, bin_dir = sys.argv[1], os.path.abspath(sys.argv[2])
    mosquitto = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    with open(readme_path, encoding="utf-8") as f:
        readme = f.read()
    run = Run(bin_dir, mosquitto)
    stale = [n + 1 for n, line in enumerate(readme.splitlines()) if STALE_PATH.search(line)]
    if stale:
        run.failures.append("the README names a program inside the build tree at lines %s; "
                            "the programs are on PATH (build/default/bin)" % stale)
    skipped = {}
    try:
        for start, reason, commands in blocks(readme):
            needs_broker = any(re.search(r"mqtt://localhost|mosquitto_sub|mosquitto_pub", c[0])
                               for c in commands)
            if needs_broker and reason is None and not mosquitto:
                reason = "a broker (Mosquitto is not installed)"
            if reason is not None:
                skipped[reason] = skipped.get(reason, 0) + 1
                # Its simulators still serve the blocks after it.
                for command, _, _ in commands:
                    if re.match(r"\s*karvello-sim\b", command):
                        run.start_sim(command)
                continue
            if needs_broker:
                run.start_broker()
            for command, status, shown in commands:
                before = len(run.failures)
                run.run(command, status, shown)
                for k in range(before, len(run.failures)):
                    run.failures[k] = "README line %d: %s" % (start, run.failures[k])
    finally:
        run.close()
    print("ran %d commands of the README; blocks left out: %s" % (
        run.ran, ", ".join("%d (%s)" % (n, why) for why, n in sorted(skipped.items())) or "none"))
    for failure in run.failures:
        print("FAIL " + failure)
    if run.ran == 0:
        print("FAIL no example was run")
        return 1
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
