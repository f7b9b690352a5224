#!/usr/bin/env python3
"""merlo.exe at a console, typed at as a user does.

Started on a terminal (a pseudo terminal here), Wine gives a Windows program
a console: merlo.exe then reads each line with the console's wide input and
writes through its wide output. The user enters the device's Cyrillic folder
(its name completed with Tab, which wakes the console's read up),
lists it, copies a file into an accented PC folder typed at the prompt, and
lists that folder, its name completed with Tab.
Each line is typed once the prompt before it is shown and the console reads
the terminal.

Usage: console_session.py WORK_DIR RUN... MERLO_EXE
"""
import os
import pty
import select
import shutil
import sys
import termios
import time

work, command = sys.argv[1], sys.argv[2:]
shutil.rmtree(work, ignore_errors=True)
device = os.path.join(work, "Données")
folder = os.path.join(device, "Мои документы")
backup = os.path.join(work, "pc", "Sauvegarde été")
os.makedirs(folder)
os.makedirs(backup)
with open(os.path.join(folder, "Отчёт.txt"), "wb") as f:
    f.write("отчёт\r\n".encode() * 500)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


transcript = b""


def fail(why):
    sys.stdout.write(why + "\n--- the console showed:\n" +
                     transcript.decode("utf-8", "replace") + "\n")
    sys.exit(1)


# The terminal's encoding is the one Wine reads and writes it in.
env = dict(os.environ, LC_ALL="C.UTF-8")
pid, fd = pty.fork()
if pid == 0:
    os.execvpe(command[0], command + ["--device", windows_path(device)], env)


seen = 0  # the transcript up to here was matched already


def wait_for(text, seconds=120):
    """Reads what the console shows until it holds text after what was
    matched before."""
    global transcript, seen
    end = time.time() + seconds
    while text.encode() not in transcript[seen:]:
        if time.time() > end:
            fail("waited in vain for " + text)
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if not data:
                fail("the console ended before it showed " + text)
            transcript += data
    seen = transcript.index(text.encode(), seen) + len(text.encode())


def type_keys(keys):
    wait_for_console()
    os.write(fd, keys.encode())


def type_line(line):
    type_keys(line + "\r")


def wait_for_console():
    # Typed only once the console reads the terminal key by key: before
    # that, the terminal itself would take the line (and turn its CR into LF).
    end = time.time() + 120
    while termios.tcgetattr(fd)[3] & termios.ICANON:
        if time.time() > end:
            fail("the console never took the terminal over")
        time.sleep(0.1)


wait_for("merlo \\>")
# Tab completes the folder's name, quoted since it holds a blank.
type_keys("cd Мо\t")
wait_for('cd "Мои документы\\"')
type_line("")
wait_for("merlo \\Мои документы>")
# Several commands fit "l": Tab shows them and gives the line back.
type_keys("l\t")
wait_for("lcd")
wait_for("lls")
wait_for("merlo \\Мои документы>")
type_line("s")
wait_for("Отчёт.txt")
wait_for("merlo \\Мои документы>")
type_line('get Отчёт.txt "%s"' % windows_path(backup))
wait_for("copied 1 of 1 file")
wait_for("merlo \\Мои документы>")
# A PC folder completes with the separator of Windows.
type_line('lcd "%s"' % windows_path(os.path.dirname(backup)))
wait_for("merlo \\Мои документы>")
type_keys("lls Sauv\t")
wait_for('lls "Sauvegarde été\\"')
type_line("")
wait_for("Отчёт.txt")
wait_for("merlo \\Мои документы>")
type_line("exit")
_, status = os.waitpid(pid, 0)
if os.WEXITSTATUS(status) != 0:
    fail("merlo.exe ended with status %d" % os.WEXITSTATUS(status))
with open(os.path.join(folder, "Отчёт.txt"), "rb") as a, \
        open(os.path.join(backup, "Отчёт.txt"), "rb") as b:
    if a.read() != b.read():
        fail("the copy in the PC folder differs from the device's file")
print("console session done")
