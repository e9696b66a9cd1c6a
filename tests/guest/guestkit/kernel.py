"""Debian's own kernel for the guest: the package that linux-image-amd64
depends on, fetched with `apt-get download` into a cache in the build tree
and unpacked there, never installed on this machine. Only the kernel image
and the modules of the USB serial path are taken out of it.

    kernel = kernel.fetch("/path/to/build/tests/guest/cache")
    kernel.vmlinuz, kernel.modules   # modules in the order they load
"""
import glob
import lzma
import os
import re
import subprocess
import tarfile

META_PACKAGE = "linux-image-amd64"

# The USB serial paths: from the host controller to the FTDI driver, and a
# USB gadget's serial function (configfs, an ACM function on the software
# controller dummy_hcd) to the host's CDC-ACM driver. Their own dependencies
# decide the load order.
MODULES = ("usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio",
           "configfs", "udc-core", "libcomposite", "u_serial", "usb_f_acm", "dummy_hcd",
           "cdc-acm")

# Holds the modules taken out, so that a cache unpacked for fewer is
# unpacked again.
STAMP = "unpacked"


class KernelError(Exception):
    pass


class Kernel:
    def __init__(self, folder, vmlinuz, modules):
        self.folder = folder
        self.vmlinuz = vmlinuz
        self.modules = modules  # [(name, path)], in load order


def _run(args, cwd=None, timeout=300):
    done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def _candidate():
    """(package, version) of the kernel linux-image-amd64 stands for, or None
    when apt knows no such package."""
    code, out, _ = _run(["apt-cache", "depends", META_PACKAGE])
    match = re.search(r"^\s*Depends:\s*(linux-image-\S+)", out, re.M) if code == 0 else None
    if not match:
        return None
    package = match.group(1)
    code, out, _ = _run(["apt-cache", "show", "--no-all-versions", package])
    version = re.search(r"^Version:\s*(\S+)", out, re.M) if code == 0 else None
    return (package, version.group(1)) if version else None


def _download(cache):
    """Path of the kernel package in `cache`, fetched when not there yet."""
    found = _candidate()
    if found is None and os.geteuid() == 0:
        # A machine whose package lists were never fetched, or are stale.
        _run(["apt-get", "update", "-q"], timeout=600)
        found = _candidate()
    if found is None:
        cached = sorted(glob.glob(os.path.join(cache, "linux-image-*.deb")))
        if cached:
            return cached[-1]
        raise KernelError("apt knows no %s; run apt-get update" % META_PACKAGE)
    package, version = found
    # apt-get download names the file so, with the epoch's colon escaped.
    deb = os.path.join(cache, "%s_%s_amd64.deb" % (package, version.replace(":", "%3a")))
    if os.path.exists(deb):
        return deb
    code, _, err = _run(["apt-get", "download", "%s=%s" % (package, version)], cwd=cache)
    if code == 0 and os.path.exists(deb):
        return deb
    # An older kernel fetched before serves as well as the newest.
    cached = sorted(glob.glob(os.path.join(cache, "linux-image-*.deb")))
    if cached:
        return cached[-1]
    raise KernelError("apt-get download %s=%s failed: %s" % (package, version, err.strip()))


def _module_name(path):
    base = os.path.basename(path)
    return re.sub(r"\.ko(\.xz|\.zst)?$", "", base)


def _unpack(deb, folder):
    """Takes the kernel image, modules.builtin and the wanted modules out of
    the package's file tree, decompressed, into `folder`."""
    os.makedirs(folder, exist_ok=True)
    module_re = re.compile(r"^\./(usr/)?lib/modules/[^/]+/kernel/.*/([^/]+)\.ko(\.xz|\.zst)?$")
    taken = {}
    proc = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    try:
        with tarfile.open(fileobj=proc.stdout, mode="r|") as tar:
            for member in tar:
                name = member.name
                target = None
                if re.match(r"^\./boot/vmlinuz-", name) and member.isfile():
                    target = os.path.join(folder, "vmlinuz")
                elif re.match(r"^\./(usr/)?lib/modules/[^/]+/modules\.builtin$", name):
                    target = os.path.join(folder, "modules.builtin")
                else:
                    match = module_re.match(name)
                    if match and match.group(2) in MODULES and member.isfile():
                        target = os.path.join(folder, match.group(2) + ".ko")
                        taken[match.group(2)] = match.group(3)
                if target is None:
                    continue
                data = tar.extractfile(member).read()
                if target.endswith(".ko") and name.endswith(".xz"):
                    data = lzma.decompress(data)
                elif target.endswith(".ko") and name.endswith(".zst"):
                    data = subprocess.run(["zstd", "-dc"], input=data, stdout=subprocess.PIPE,
                                          check=True).stdout
                with open(target, "wb") as f:
                    f.write(data)
    finally:
        proc.stdout.close()
        if proc.wait() != 0:
            raise KernelError("dpkg-deb could not read %s" % deb)
    if not os.path.exists(os.path.join(folder, "vmlinuz")):
        raise KernelError("%s holds no /boot/vmlinuz-*" % deb)


def _builtin(folder):
    try:
        with open(os.path.join(folder, "modules.builtin")) as f:
            return {_module_name(line.strip()).replace("_", "-") for line in f if line.strip()}
    except FileNotFoundError:
        return set()


def _depends(path):
    """The modules a module needs, from its modinfo."""
    with open(path, "rb") as f:
        data = f.read()
    match = re.search(rb"(?:^|\x00)depends=([^\x00]*)", data)
    return [d for d in match.group(1).decode().split(",") if d] if match else []


def _load_order(folder):
    builtin = _builtin(folder)
    canon = lambda n: n.replace("_", "-")
    wanted = [m for m in MODULES if canon(m) not in builtin]
    paths = {}
    for m in wanted:
        path = os.path.join(folder, m + ".ko")
        if not os.path.exists(path):
            raise KernelError("the kernel package has no module %s" % m)
        paths[canon(m)] = (m, path)
    order = []

    def visit(key, chain):
        if any(key == canon(m) for m, _ in order):
            return
        if key in chain:
            raise KernelError("modules depend on each other in a circle: %s" % " ".join(chain))
        if key not in paths:
            if key in builtin:
                return
            raise KernelError("module %s is needed by %s but not taken into the guest" %
                              (key, chain[-1]))
        for dep in _depends(paths[key][1]):
            visit(canon(dep), chain + [key])
        order.append(paths[key])

    for m in wanted:
        visit(canon(m), [])
    return order


def fetch(cache):
    """The kernel for the guest, from the cache when it is there already."""
    os.makedirs(cache, exist_ok=True)
    deb = _download(cache)
    folder = deb[:-len(".deb")]
    stamp = os.path.join(folder, STAMP)
    wanted = " ".join(MODULES) + "\n"
    if not os.path.exists(stamp) or open(stamp).read() != wanted:
        _unpack(deb, folder)
        with open(stamp, "w") as f:
            f.write(wanted)
    return Kernel(folder, os.path.join(folder, "vmlinuz"), _load_order(folder))
