# Runs a program with a syslog of its own and prints each message the program sent to it, one a
# line; the program's standard error goes to the file named. Run it in a mount namespace of its
# own (unshare --mount): a /dev of its own holds /dev/null and the /dev/log read here.
# usage: with_own_syslog.py SCRATCH_FOLDER STDERR_FILE PROGRAM [ARGUMENT...]
import os
import socket
import subprocess
import sys

scratch, stderr_path, program = sys.argv[1], sys.argv[2], sys.argv[3:]
os.makedirs(scratch + "/dev", exist_ok=True)
subprocess.run(["mount", "--bind", "/dev", scratch + "/dev"], check=True)
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
open("/dev/null", "w").close()
subprocess.run(["mount", "--bind", scratch + "/dev/null", "/dev/null"], check=True)
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind("/dev/log")
with open(stderr_path, "a") as stderr:
    subprocess.run(program, stderr=stderr, check=False)
log.setblocking(False)
while True:
    try:
        print(log.recv(65536).decode())
    except BlockingIOError:
        break
