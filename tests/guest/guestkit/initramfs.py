"""The guest's whole file system, made at test time as an initramfs: busybox
(static), the kernel's USB serial modules, the freshly built program and the
simulator (for a board on the guest's own USB gadget) with the shared
libraries ldd finds for them, and the init script. A case adds its
own script and firmware files as a second archive after the first; the
kernel unpacks both.

    base = initramfs.build_base(folder, kernel, cli, sim)
    initramfs.with_case(base, out, {"/case.sh": text, "/fw/trx.fw": data})
"""
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
BUSYBOX = "/bin/busybox"
# Where the program is in the guest: on the PATH, under its installed name.
CLI_NAME = "update-firmware-cli"
SIM_NAME = "bootloader-sim"
HELPERS = "/lib/uf-guest.sh"


class InitramfsError(Exception):
    pass


def _shared_libraries(program):
    """Every library the dynamic loader would map for `program`, and the
    loader itself, as absolute paths on this machine; none for a static
    program."""
    done = subprocess.run(["ldd", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)
    if "not a dynamic executable" in done.stdout + done.stderr:
        return []
    if done.returncode != 0:
        raise InitramfsError("ldd %s: %s" % (program, done.stderr.strip()))
    found = []
    for line in done.stdout.splitlines():
        if "not found" in line:
            raise InitramfsError("ldd %s: %s" % (program, line.strip()))
        match = re.search(r"=>\s*(/\S+)", line) or re.match(r"\s*(/\S+)\s+\(", line)
        if match:
            found.append(match.group(1))
    return found


def _put(root, guest_path, source=None, data=None, mode=0o644):
    target = os.path.join(root, guest_path.lstrip("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if source is not None:
        # The file itself, not a link to this machine's copy.
        shutil.copyfile(os.path.realpath(source), target)
    else:
        with open(target, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(target, mode)


def _archive(root, out):
    """A newc cpio archive of the tree under `root`, owned by root."""
    names = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(dirs + files):
            names.append(os.path.relpath(os.path.join(folder, name), root))
    with open(out, "wb") as f:
        done = subprocess.run(["cpio", "--create", "--format=newc", "--owner=0:0", "--quiet"],
                              cwd=root, input="\n".join(names).encode() + b"\n", stdout=f,
                              stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise InitramfsError("cpio: %s" % done.stderr.decode(errors="replace").strip())


def build_base(folder, kernel, cli, sim):
    """Builds the archive every case shares in `folder`; its path."""
    if not os.path.exists(BUSYBOX):
        raise InitramfsError("no %s: install busybox-static" % BUSYBOX)
    root = os.path.join(folder, "root")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("proc", "sys", "dev", "tmp", "fw", "etc"):
        os.makedirs(os.path.join(root, d))
    _put(root, "/bin/busybox", source=BUSYBOX, mode=0o755)
    # The init script's interpreter; it makes busybox's other links itself.
    os.symlink("busybox", os.path.join(root, "bin", "sh"))
    _put(root, "/init", source=os.path.join(HERE, "init.sh"), mode=0o755)
    _put(root, HELPERS, source=os.path.join(HERE, "uf-guest.sh"))
    names = []
    for name, path in kernel.modules:
        _put(root, "/lib/modules/uf/%s.ko" % name, source=path)
        names.append(name + ".ko")
    _put(root, "/etc/uf-modules", data="\n".join(names) + "\n")
    _put(root, "/bin/" + CLI_NAME, source=cli, mode=0o755)
    _put(root, "/bin/" + SIM_NAME, source=sim, mode=0o755)
    # busybox-static needs none; a plain busybox brings its own.
    for library in _shared_libraries(cli) + _shared_libraries(sim) + _shared_libraries(BUSYBOX):
        _put(root, library, source=library, mode=0o755)
    out = os.path.join(folder, "base.cpio")
    _archive(root, out)
    return out


def with_case(base, out, files):
    """Writes to `out` the base archive followed by one of `files`, a map of
    guest path to text or bytes."""
    case_root = out + ".root"
    shutil.rmtree(case_root, ignore_errors=True)
    os.makedirs(case_root)
    for guest_path, data in files.items():
        _put(case_root, guest_path, data=data, mode=0o755 if guest_path.endswith(".sh") else 0o644)
    case_archive = out + ".case"
    _archive(case_root, case_archive)
    with open(out, "wb") as f:
        for part in (base, case_archive):
            with open(part, "rb") as p:
                shutil.copyfileobj(p, f)
    shutil.rmtree(case_root)
    os.remove(case_archive)
    return out
