#!/usr/bin/env python3
"""merlo at a terminal, read off the screen as the user sees it.

merlo (Linux, libedit) or merlo.exe (under Wine, which gives it a console
on the terminal) runs on a pseudo terminal; what it writes goes through a
terminal emulator (pyte) of the same size, which gives East Asian wide
characters two columns as a terminal does. The user, with Cyrillic or
Japanese names:
- meets the module's error box, which names a file: its frame is straight;
- presses Ctrl-C at an empty prompt, then copies a file: it copies whole,
  uninterrupted;
- completes a folder's name with Tab and takes characters back with
  Backspace: the prompt's row shows exactly the prompt and the line, the
  cursor at its end;
- presses Ctrl-C on a typed line: it is dropped, a new prompt comes, and
  Enter on that empty line runs nothing.

Usage: console_screen.py ru|ja WORK_DIR COMMAND...
The last word of COMMAND is merlo or merlo.exe; the words before it run it
(Wine). The locale comes from the environment.
"""
import fcntl
import os
import pty
import select
import shutil
import struct
import sys
import termios
import time

import pyte
from wcwidth import wcswidth

NAMES = {
    # a device folder, a file in it, and a file at the root
    "ru": ("Отчёты", "Сводка за год.txt", "Чтение.txt"),
    "ja": ("表示", "予定表.txt", "読んで.txt"),
}
COLUMNS, ROWS = 100, 30

names, work, command = sys.argv[1], sys.argv[2], sys.argv[3:]
folder_name, file_name, root_file = NAMES[names]
windows = command[-1].lower().endswith(".exe")


def pc_path(path):
    return "Z:" + path.replace("/", "\\") if windows else path


shutil.rmtree(work, ignore_errors=True)
device = os.path.join(work, "device")
pc = os.path.join(work, "pc")
os.makedirs(os.path.join(device, folder_name))
os.makedirs(pc)
with open(os.path.join(device, root_file), "wb") as f:
    f.write(b"root file\n" * 100)
with open(os.path.join(device, folder_name, file_name), "wb") as f:
    f.write(b"in the folder\n")

screen = pyte.Screen(COLUMNS, ROWS)
stream = pyte.ByteStream(screen)
env = dict(os.environ)
# The first read from the device fails: the first copy shows the module's error box.
env["MERLO_DEVICE_FAULTS"] = "fail=CeReadFile:1"
if windows:
    if "LANG" in env:
        env.pop("LC_ALL", None)  # Wine's code pages follow LANG's locale
else:
    env.setdefault("LC_ALL", "C.UTF-8")
    env["HOME"] = work  # its history file
pid, fd = pty.fork()
if pid == 0:
    fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))
    os.execvpe(command[0], command + ["--device", pc_path(device)], env)


def rows():
    return [row.rstrip() for row in screen.display]


def fail(why):
    shown = "\n".join("%2d|%s" % (i, row) for i, row in enumerate(rows()))
    sys.stdout.write("%s (%s names)\n--- the screen, the cursor at row %d column %d:\n%s\n" %
                     (why, names, screen.cursor.y, screen.cursor.x, shown))
    sys.exit(1)


def read(seconds):
    """Feeds the screen what the terminal shows within the time; False at its end."""
    ready, _, _ = select.select([fd], [], [], seconds)
    if not ready:
        return True
    try:
        data = os.read(fd, 65536)
    except OSError:
        data = b""
    if not data:
        return False
    stream.feed(data)
    return True


def wait_for(what, holds, seconds=90):
    """Reads until the screen shows what `holds` tells, and still does once
    the terminal has been quiet a moment. Under Wine the console takes the
    first key only seconds after it starts."""
    end = time.time() + seconds
    while time.time() < end:
        if holds():
            before = screen.display[:], screen.cursor.x, screen.cursor.y
            read(0.3)
            if (screen.display, screen.cursor.x, screen.cursor.y) == before and holds():
                return
        elif not read(0.2):
            fail("merlo ended before the screen showed " + what)
    fail("the screen never showed " + what)


def cursor_row():
    return rows()[screen.cursor.y]


def line_shown(expected):
    """The cursor's row is exactly the text, the cursor just after it."""
    return (lambda: cursor_row() == expected.rstrip() and
            screen.cursor.x == wcswidth(expected))


def type_keys(keys):
    os.write(fd, keys.encode())


# Typed only once the program reads the terminal key by key: before that,
# the terminal itself would take the line (and turn its CR into LF).
end = time.time() + 120
while termios.tcgetattr(fd)[3] & termios.ICANON:
    if time.time() > end:
        fail("merlo never took the terminal over")
    read(0.1)
prompt = "merlo \\> "
wait_for("the prompt", line_shown(prompt))

# The module's error box names the file: its frame is straight on the screen.
type_keys('get "%s" "%s"\r' % (root_file, pc_path(pc)))
wait_for("the error box", lambda: any(root_file in row and row.startswith("| ") for row in rows())
         and line_shown(prompt)())
box = [row for row in rows() if row[:1] in ("+", "|")]
widths = {wcswidth(row) for row in box}
if len(box) < 4 or len(widths) != 1 or any(row[-1] not in "+|" for row in box):
    fail("the error box's frame is not straight")

# Ctrl-C at the empty prompt: a new prompt, and nothing left of it.
type_keys("\x03")
wait_for("a second prompt",
         lambda: line_shown(prompt)() and rows()[screen.cursor.y - 1] == prompt.rstrip())
type_keys('get "%s" "%s"\r' % (root_file, pc_path(pc)))
wait_for("the copy", lambda: "copied 1 of 1 file" in rows() and line_shown(prompt)())
if any("interrupted" in row for row in rows()):
    fail("the copy after a Ctrl-C at the prompt was interrupted")
with open(os.path.join(pc, root_file), "rb") as f:
    if f.read() != b"root file\n" * 100:
        fail("the copy after a Ctrl-C at the prompt is not whole")

# Tab completes the folder's name; Backspace takes back what it added.
type_keys("cd " + folder_name[0] + "\t")
completed = prompt + "cd " + folder_name + "\\"
wait_for("the completed line " + completed, line_shown(completed))
type_keys("\x7f")
wait_for("the line " + completed[:-1], line_shown(completed[:-1]))
type_keys("\x7f")
wait_for("the line " + completed[:-2], line_shown(completed[:-2]))
type_keys(folder_name[-1] + "\r")
prompt = "merlo \\%s> " % folder_name
wait_for("the prompt " + prompt, line_shown(prompt))

# In a prompt of wide characters, the file's name completed, then Backspace.
type_keys("ls " + file_name[0] + "\t")
completed = prompt + "ls " + (file_name if " " not in file_name else '"%s"' % file_name) + " "
wait_for("the completed line " + completed, line_shown(completed))
type_keys("\x7f\x7f")
wait_for("the line " + completed[:-2], line_shown(completed[:-2]))

# Ctrl-C on the typed line: dropped, a new prompt; Enter there runs nothing.
type_keys("\x03")
wait_for("a new prompt under the dropped line",
         lambda: line_shown(prompt)() and rows()[screen.cursor.y - 1].startswith(prompt + "ls "))
type_keys("\r")
wait_for("the prompt again, nothing run",
         lambda: line_shown(prompt)() and rows()[screen.cursor.y - 1] == prompt.rstrip() and
         rows()[screen.cursor.y - 2].startswith(prompt + "ls "))
type_keys("exit\r")
end = time.time() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.time() > end:
        fail("merlo did not end at exit")
    read(0.2)
if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
    fail("merlo ended with status %s" % status)
print("console screen done (%s names)" % names)
