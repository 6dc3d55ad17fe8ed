#!/usr/bin/env python3
"""Each flavour of vx40.so on each runtime: loaded by the runtime's own loader
with the runtime's own libraries (natively for x86-64, under qemu-mipsel for
mipsel), and judged by vx40-preflight; the two must agree on every cell.

    scripts/preflight_matrix.py BUILD FLAVOUR_BUILD... [--root NAME=DIR]...

BUILD holds vx40-preflight; each FLAVOUR_BUILD a release/ folder (staged into
BUILD/flavours/FLAVOUR, where vx40-preflight looks for the flavours it
chooses from) and, for the glibc baselines, the stand-in host that is run on
that runtime (tests/vx40_tests, the contract tests). Roots: NAME=DIR, DIR a
controller's root filesystem. Prints one table of load result / verdict per
cell and exits 1 if any cell disagrees."""
import json
import os
import shutil
import subprocess
import sys

# The loaders of each CPU a root may have, the flavour's own first.
LOADERS = {"x86_64": ["/lib64/ld-linux-x86-64.so.2"],
           "mipsel": ["/lib/ld.so.1", "/lib/ld-musl-mipsel-sf.so.1"]}
LIB_DIRS = {"x86_64": ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib", "/usr/lib"],
            "mipsel": ["/lib/mipsel-linux-gnu", "/usr/lib/mipsel-linux-gnu", "/lib", "/usr/lib"]}


def root_path(root, inside):
    """INSIDE, a path in ROOT, with the root's own links followed."""
    path = inside
    for _ in range(40):
        full = os.path.join(root, path.lstrip("/"))
        if not os.path.islink(full):
            return full
        target = os.readlink(full)
        path = target if target.startswith("/") else os.path.join(os.path.dirname(path), target)
    return None


def root_cpu(root):
    for cpu, loaders in LOADERS.items():
        for loader in loaders:
            full = root_path(root, loader)
            if full and os.path.exists(full):
                with open(full, "rb") as f:
                    head = f.read(20)
                machine = int.from_bytes(head[18:20], "little")
                if (cpu == "x86_64") == (machine == 62):
                    return cpu
    return None


def soft_float(path):
    r = subprocess.run(["mipsel-linux-gnu-readelf", "-A", path], capture_output=True, text=True)
    return "Soft float" in r.stdout


def loader_command(root, cpu, loader, soft):
    """The root's loader, run on its own libraries."""
    dirs = LIB_DIRS[cpu]
    if cpu == "x86_64":
        return [root_path(root, loader), "--inhibit-cache", "--library-path",
                ":".join(os.path.join(root, d.lstrip("/")) for d in dirs)]
    qemu = ["qemu-mipsel", "-L", root] + (["-cpu", "24Kc"] if soft else [])
    # qemu reads the program's own path as it is: the loader is named in the root.
    return qemu + [root_path(root, loader), "--library-path", ":".join(dirs)]


def real_load(root, manifest, lib, host=None):
    """Loads LIB (or runs HOST, which loads it) with the root's own loader: the
    loader the flavour names, or, where the root has none, the root's own."""
    cpu = "x86_64" if manifest["flavour"].startswith("x86_64") else "mipsel"
    # A host runs on the root's loader; a library alone is listed by the
    # loader its flavour names where the root has it.
    loaders = ([] if host else [manifest["loader"]]) + LOADERS[cpu]
    loader = next((l for l in loaders if root_path(root, l) and os.path.exists(root_path(root, l))), None)
    if loader is None:
        return False, "no loader"
    # A soft-float runtime runs on a core without an FPU, as its controller's.
    soft = "softfloat" in manifest["flavour"] or soft_float(root_path(root, loader))
    cmd = loader_command(root, cpu, loader, soft)
    if host:
        # The contract checks that need no symbol table (the shipped file has none).
        cmd += [host, "--gtest_filter=Contract.*:Entry*-Contract.VX40VirtualTableSlotBySlot",
                "--gtest_brief=1"]
        env = dict(os.environ, VX40_PLUGIN=lib)
    else:
        cmd += ["--list", lib]
        env = dict(os.environ)
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    out = r.stdout + r.stderr
    errors = [line for line in out.splitlines() if "not found" in line or "rror" in line]
    if not host:
        # musl's loader binds every symbol when it lists a library: the host's
        # are not there without a host, and are the host's to give (preflight
        # leaves them "not checked" without --host).
        errors = [line for line in errors if "symbol not found" not in line]
    ok = (r.returncode == 0 or not errors and "symbol not found" in out) and not errors
    reason = "" if ok else next((line.strip() for line in out.splitlines()
                                 if "not found" in line or "rror" in line or "FAILED" in line),
                                "exit %d" % r.returncode)
    return ok, reason


def preflight(build, root, lib, host=None, run=False):
    cmd = [os.path.join(build, "vx40-preflight"), root, lib, "--json"] + (["--run"] if run else [])
    if host:
        cmd += ["--host", host]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if r.returncode not in (0, 1):
        raise SystemExit("preflight: exit %d on %s %s: %s" % (r.returncode, root, lib, r.stderr))
    doc = json.loads(r.stdout)
    fail = next((c for lib_ in doc["libraries"] for c in lib_["checks"] if c["result"] == "FAIL"), None)
    return r.returncode == 0, fail


def main(argv):
    build = argv[1]
    flavour_builds = [a for a in argv[2:] if not a.startswith("--root") and "=" not in a]
    roots = [a.split("=", 1) for a in argv[2:] if "=" in a]
    staged = os.path.join(build, "flavours")
    shutil.rmtree(staged, ignore_errors=True)
    flavours = []
    for fb in flavour_builds:
        with open(os.path.join(fb, "release", "share", "vx40", "manifest.json")) as f:
            manifest = json.load(f)
        cache = {}
        with open(os.path.join(fb, "CMakeCache.txt")) as f:
            for line in f:
                if "=" in line and ":" in line.split("=", 1)[0]:
                    key, value = line.rstrip("\n").split("=", 1)
                    cache[key.split(":")[0]] = value
        lib = os.path.join(fb, "release", "lib", "vx40.so")
        runtime = cache.get("VX40_BASELINE_RUNTIME") or cache.get("VX40_SDK_SYSROOT")
        label = manifest["flavour"]
        if cache.get("VX40_SDK_SYSROOT"):
            manifest["runtime"] = runtime
        elif runtime:
            manifest["runtime"] = os.path.join(runtime, "sysroot") + (
                "/usr/mipsel-linux-gnu" if cache.get("VX40_BASELINE_CPU") == "mipsel" else "")
        if runtime or "musl" in label:
            # The flavours vx40-preflight chooses from, as unpacked tarballs.
            dest = os.path.join(staged, label)
            shutil.copytree(os.path.join(fb, "release"), dest)
            lib = os.path.join(dest, "lib", "vx40.so")
            # With its stand-in host and the JsonCpp that host was built
            # with, for vx40-preflight --run.
            os.makedirs(os.path.join(dest, "bin"))
            shutil.copy2(os.path.join(fb, "vx40-soak"), os.path.join(dest, "bin"))
            jsoncpp = os.path.join(manifest.get("runtime", runtime), "lib")
            if not os.path.isdir(jsoncpp) or not any(n.startswith("libjsoncpp") for n in os.listdir(jsoncpp)):
                jsoncpp = os.path.join(manifest.get("runtime", runtime), "usr", "lib")
            os.makedirs(os.path.join(dest, "host-lib"))
            for n in os.listdir(jsoncpp):
                if n.startswith("libjsoncpp.so"):
                    shutil.copy2(os.path.join(jsoncpp, n), os.path.join(dest, "host-lib"), follow_symlinks=False)
        else:
            label += " (this machine's runtime)"
        manifest["label"] = label
        host = os.path.join(fb, "tests", "vx40_tests")
        flavours.append((manifest, os.path.abspath(lib), host if runtime and os.path.exists(host) else None))
    # A root that is a flavour's own runtime is tried with that flavour's
    # stand-in host, which loads the library and runs the contract checks;
    # another root with its loader's --list.
    hosts = {os.path.realpath(m["runtime"]): (m["flavour"], h) for m, _, h in flavours
             if h and "runtime" in m}
    cells, disagree, runs = [], 0, []
    for manifest, lib, _ in flavours:
        cpu = "x86_64" if manifest["flavour"].startswith("x86_64") else "mipsel"
        for name, root in roots:
            if root_cpu(root) != cpu:
                continue
            host_flavour, host = hosts.get(os.path.realpath(root), ("", None))
            loaded, why = real_load(root, manifest, lib, host)
            verdict, fail = preflight(build, root, lib, host)
            if verdict and os.path.exists(os.path.join(os.path.dirname(lib), "..", "bin")):
                # The verdict proven on the root: its loader, its libraries, rounds run.
                ran, run_fail = preflight(build, root, lib, host, run=True)
                runs.append(ran)
                if not ran:
                    verdict, fail = False, run_fail
            cells.append((manifest["label"], name, host_flavour or "(--list)", loaded, verdict, why, fail))
    print("%-40s %-24s %-22s %-8s %-14s %s" % ("flavour", "runtime", "host", "loader", "preflight", "reason"))
    for flavour, root, what, loaded, verdict, why, fail in cells:
        agree = loaded == verdict
        disagree += not agree
        reason = (fail["detail"][:70] if fail else "") if not loaded else ""
        print("%-40s %-24s %-22s %-8s %-14s %s%s" % (flavour, root, what, "loads" if loaded else "refused",
                                                  "will load" if verdict else "will not load",
                                                  "" if agree else "DISAGREE: " + why + " ", reason))
    print("preflight-matrix: %d cells, %d agree, %d disagree; --run %d of %d passed" % (
        len(cells), len(cells) - disagree, disagree, sum(runs), len(runs)))
    if not all(runs):
        return 1
    return 1 if disagree else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
