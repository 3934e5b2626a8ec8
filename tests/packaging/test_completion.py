#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Bash completion of flash-update, typed into an interactive bash.

An interactive bash runs on a pseudo-terminal, so readline splits the line
and calls the completion exactly as it does for a user (a card address
arrives cut at its colons, an --option=value at its equals sign). Each case
types a line and a Tab; a wrapper around the completion function writes the
candidates to a file. A second group presses Tab and Enter, and a shell
function named flash-update records the words the line ended up with.

Card addresses come from a sysfs tree made here; one case reads the real
path under the virtual card, whose sysfs is emulated.

usage: test_completion.py SOURCE_DIR [FLASH_UPDATE_VCARD]
Exit status 77 (skipped) when bash is missing.
"""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77

FIRMWARE = ['boot0', 'a35-bl1-0', 'a35-bl1-1', 'a35-goldfip', 'uboot-a', 'uboot-b',
            'fw-a', 'fw-b', 'dtb', 'dtb-b', 'a35-golduboot', 'fw_cfg', 'fw_cfg-b',
            'bastionfw-0', 'bastionfw-1', 'softrom-0', 'softrom-1', 'cpld', 'cpld-g',
            'ufm1', 'ufm2', 'oprom', 'boot-fault-log', 'runtime-log', 'coredump']
SECURE_FIRMWARE = ['a35-bl1-0', 'a35-bl1-1', 'a35-goldfip', 'bastionfw-0', 'bastionfw-1',
                   'fw-a', 'fw-b']
COMMANDS = ['--get-firmware-image', '--erase', '--install', '--set-boot-options',
            '--verify-checksum', '--list-firmware', '--verify-startup-image', '--get-card-info',
            '--get-partition-info', '--erase-sector', '--secure-boot', '--secure-info',
            '--secure-image-update', '--get-signed-data', '--verify-image-signature']
CARDS = ['0000:03:00.0', '0000:13:00.0', '0001:a0:00.0']

FU = 'flash-update '
BDF = ' 0000:03:00.0'

# (typed line, candidates the completion offers). Candidates are what bash
# puts in place of the text after the last ':' or '=' of the current word.
LIST_CASES = [
    (FU, COMMANDS),
    (FU + '--get-c', ['--get-card-info']),
    (FU + '--secure-i', ['--secure-info', '--secure-image-update']),
    (FU + '--get-firmware-image ', ['running', 'startup', 'n1-startup']),
    (FU + '--get-firmware-image s', ['startup']),
    (FU + '--erase ', FIRMWARE),
    (FU + '--erase fw', ['fw-a', 'fw-b', 'fw_cfg', 'fw_cfg-b']),
    (FU + '--erase fw-a ', []),                       # a size
    (FU + '--erase fw-a 0x1000 ', CARDS),
    (FU + '--erase-sector cpld 4096 0000:1', ['13:00.0']),
    (FU + '--install ', FIRMWARE),
    (FU + '--install fw-b f', ['fw.bin', 'fw2.bin']),
    (FU + '--install fw-b fw.bin ', CARDS),
    (FU + '--install=ub', ['uboot-a', 'uboot-b']),
    (FU + '--install=u', ['uboot-a', 'uboot-b', 'ufm1', 'ufm2']),
    (FU + '--install=fw-a ', ['fw.bin', 'fw2.bin', 'sub dir']),
    (FU + '--set-boot-options ', ['fw-a', 'fw-b', 'a35-goldfw']),
    (FU + '--verify-checksum fw-a ', ['fw.bin', 'fw2.bin', 'sub dir']),
    (FU + '--verify-checksum fw-a fw.bin ', []),     # a hash
    (FU + '--verify-checksum fw-a fw.bin 0f0f ', CARDS),
    (FU + '--verify-checksum fw-a fw.bin 0f0f' + BDF + ' ', []),
    (FU + '--list-firmware boot-', ['boot-fault-log']),
    (FU + '--verify-startup-image ', FIRMWARE),
    (FU + '--get-card-info ', CARDS),
    (FU + '--get-card-info 0000:', ['03:00.0', '13:00.0']),
    (FU + '--get-card-info 0000:03:00.', ['00.0']),
    (FU + '--get-card-info 0001:A', []),
    (FU + '--get-partition-info 0', CARDS),
    (FU + '--get-partition-info' + BDF + ' ', []),
    (FU + '--secure-boot ', ['enable', 'disable']),
    (FU + '--secure-info ', ['bastion', 'bl1', 'bl31', 'lcs']),
    (FU + '--secure-info bl', ['bl1', 'bl31']),
    (FU + '--secure-image-update ', ['bastion', 'bl1', 'lcs']),
    (FU + '--secure-image-update bastion ', ['boot-alt-partition', 'set-ar-counter']),
    (FU + '--secure-image-update bl1 s', ['set-ar-counter']),
    (FU + '--secure-image-update lcs ', ['set-production']),
    (FU + '--secure-image-update=lcs ', ['set-production']),
    (FU + '--secure-image-update lcs set-production ', CARDS),
    (FU + '--get-signed-data ', SECURE_FIRMWARE),
    (FU + '--verify-image-signature bastion', ['bastionfw-0', 'bastionfw-1']),
    (FU + '--secure ', []),                           # ambiguous: no command
    (FU + '--get-card-info' + BDF + ' ', []),
    (FU + '0000:03:00.0 ', []),
]

# (keys typed, words the command line ended up with).
RUN_CASES = [
    (FU + '--get-card-info 0000:0\t\n', ['--get-card-info', '0000:03:00.0']),
    (FU + '--secure-image-update l\tset-p\t0000:0\t\n',
     ['--secure-image-update', 'lcs', 'set-production', '0000:03:00.0']),
    (FU + '--install fw-a su\tx\t0000:0\t\n', ['--install', 'fw-a', 'sub dir/x.bin', '0000:03:00.0']),
    (FU + '--install=bastionfw-\t1 fw2\t0001\t\n',
     ['--install=bastionfw-1', 'fw2.bin', '0001:a0:00.0']),
    (FU + '--get-firmware-image r\t0000:1\t\n', ['--get-firmware-image', 'running', '0000:13:00.0']),
]


class Shell:
    """An interactive bash on a pseudo-terminal."""

    def __init__(self, workdir, home):
        self.workdir = workdir
        self.serial = 0
        env = {
            'PATH': os.environ.get('PATH', '/usr/bin:/bin'),
            'HOME': home,
            'TERM': 'dumb',
            'INPUTRC': '/dev/null',
            'PS1': '$ ',
            'LC_ALL': 'C',
        }
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(workdir)
            os.execve(shutil.which('bash'), ['bash', '--norc', '--noprofile', '-i'], env)
        self.output = b''

    def drain(self):
        while True:
            ready, _, _ = select.select([self.fd], [], [], 0)
            if not ready:
                return
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            self.output += chunk

    def type(self, keys):
        os.write(self.fd, keys.encode())

    def wait_for(self, path, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.drain()
            if os.path.exists(path):
                return True
            time.sleep(0.01)
        return False

    def run(self, command):
        """Runs a command line and waits until the shell has finished it."""
        self.serial += 1
        done = os.path.join(self.workdir, '.done%d' % self.serial)
        self.type('%s; : > %s\n' % (command, shlex_quote(done)))
        if not self.wait_for(done):
            raise RuntimeError('shell did not finish: %s\n%s' % (command, self.output[-2000:]))
        os.unlink(done)

    def close(self):
        try:
            self.type('exit\n')
        except OSError:
            pass
        end = time.monotonic() + 5
        while time.monotonic() < end:
            pid, _ = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                break
            self.drain()
            time.sleep(0.02)
        else:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


def shlex_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def make_sysfs(root):
    # Two card bridges, a third in another domain, the card's IPC function
    # (same maker, not a bridge), another maker's device with the bridge's
    # device ID, and a device without a device file.
    devices = {
        '0000:03:00.0': ('0x1e5a', '0x0100'),
        '0000:13:00.0': ('0x1e5a', '0x0100'),
        '0001:a0:00.0': ('0x1E5A', '0x0100'),
        '0000:04:00.0': ('0x1e5a', '0x0101'),
        '0000:00:1f.0': ('0x8086', '0x0100'),
        '0000:05:00.0': ('0x1e5a', None),
    }
    for bdf, (vendor, device) in devices.items():
        os.makedirs(os.path.join(root, bdf))
        with open(os.path.join(root, bdf, 'vendor'), 'w') as f:
            f.write(vendor + '\n')
        if device is not None:
            with open(os.path.join(root, bdf, 'device'), 'w') as f:
                f.write(device + '\n')


def check_vcard_sysfs(launcher, completion, tmp):
    """The default sysfs path, as the virtual card emulates it."""
    state = os.path.join(tmp, 'vcard-state')
    script = 'source %s; _flash_update_cards' % shlex_quote(completion)
    proc = subprocess.run(
        [launcher, '--state', state, '--bdf', '0000:6b:00.0', '--cards', '2', '--timeout', '60',
         '--', 'bash', '--norc', '--noprofile', '-c', script],
        capture_output=True, text=True, timeout=120)
    found = sorted(proc.stdout.split())
    expected = ['0000:6b:00.0', '0000:7b:00.0']
    if proc.returncode != 0 or found != expected:
        return ['virtual card: expected %s, got %s (exit %d)\n%s' %
                (expected, found, proc.returncode, proc.stderr)]
    return []


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    source_dir = sys.argv[1]
    launcher = sys.argv[2] if len(sys.argv) > 2 else ''
    completion = os.path.join(source_dir, 'completion', 'flash-update')
    if shutil.which('bash') is None:
        print('SKIP: bash is not installed')
        return SKIP

    failures = []
    passed = 0
    with tempfile.TemporaryDirectory(prefix='fu-completion-') as tmp:
        sysfs = os.path.join(tmp, 'sys')
        make_sysfs(sysfs)
        work = os.path.join(tmp, 'work')
        os.makedirs(os.path.join(work, 'sub dir'))
        for name in ('fw.bin', 'fw2.bin', os.path.join('sub dir', 'x.bin')):
            open(os.path.join(work, name), 'w').close()

        shell = Shell(work, tmp)
        try:
            reg = os.path.join(tmp, 'registration')
            shell.run('source %s; _flash_update_pci_devices=%s; complete -p flash-update > %s'
                      % (shlex_quote(completion), shlex_quote(sysfs), shlex_quote(reg)))
            with open(reg) as f:
                registration = f.read().strip()
            if registration != 'complete -F _flash_update flash-update':
                failures.append('registration: %r' % registration)

            # The candidates of one Tab, written by a wrapper.
            reply = os.path.join(tmp, 'reply')
            shell.run(
                "_fu_probe() { _flash_update \"$@\"; printf '%%s\\n' \"${COMPREPLY[@]}\" > %s.tmp;"
                " mv %s.tmp %s; }; complete -F _fu_probe flash-update"
                % (shlex_quote(reply), shlex_quote(reply), shlex_quote(reply)))
            for line, expected in LIST_CASES:
                if os.path.exists(reply):
                    os.unlink(reply)
                shell.type(line + '\t')
                if not shell.wait_for(reply):
                    failures.append('%r: the completion was not called' % line)
                    shell.type('\x15')
                    continue
                with open(reply) as f:
                    got = [w for w in f.read().split('\n') if w]
                shell.type('\x15')  # clear the line
                if sorted(got) != sorted(expected):
                    failures.append('%r: expected %s, got %s' % (line, sorted(expected), sorted(got)))
                else:
                    passed += 1

            # Tabs and Enter with the real registration: what the line became.
            args = os.path.join(tmp, 'args')
            shell.run(
                "complete -F _flash_update flash-update; flash-update() { printf '%%s\\n' \"$@\" > %s.tmp;"
                " mv %s.tmp %s; }" % (shlex_quote(args), shlex_quote(args), shlex_quote(args)))
            for keys, expected in RUN_CASES:
                if os.path.exists(args):
                    os.unlink(args)
                shell.type(keys)
                if not shell.wait_for(args):
                    failures.append('%r: the line did not run' % keys)
                    shell.type('\x03')
                    continue
                with open(args) as f:
                    got = f.read().split('\n')[:-1]
                if got != expected:
                    failures.append('%r: expected %s, got %s' % (keys, expected, got))
                else:
                    passed += 1
        finally:
            shell.close()

        if launcher:
            vcard_failures = check_vcard_sysfs(launcher, completion, tmp)
            failures += vcard_failures
            passed += not vcard_failures

    for failure in failures:
        print('FAIL:', failure)
    print('%d passed, %d failed' % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
