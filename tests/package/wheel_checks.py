"""Checks of the repaired wheels in $TAVRIN_WHEELHOUSE: the platform tag they carry and what
their extension module needs from the system, for glibc and for musl. Run by
scripts/stages/60-package.sh and 65-package-musl.sh with pyelftools (which auditwheel brings);
$TAVRIN_WHEEL_TAGS names the wheels expected. The pytest suite in tests/ never collects this
file.
"""

from __future__ import annotations

import io
import os
import re
import zipfile
from pathlib import Path

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# The lowest policy a build with Debian 12's GCC and glibc can reach: std::thread's
# pthread_create and pthread_join carry glibc 2.34 versions there, even with libstdc++ linked
# in statically. A wheel that needs more has picked up a newer dependency.
POLICY = "manylinux_2_34_x86_64"
POLICY_GLIBC = (2, 34)
# What a manylinux wheel may load from the system; libstdc++ is not among them, as it is
# linked into the module.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libpthread.so.0", "ld-linux-x86-64.so.2"}
# A musllinux wheel's module, built by zig with libc++ linked in, needs musl's C library only,
# under Alpine's name for it, and no symbol versions: musl has none.
MUSL_POLICIES = {"musllinux_1_2_x86_64": "libc.musl-x86_64.so.1", "musllinux_1_2_i686": "libc.musl-x86.so.1"}

# The python and platform tags the wheelhouse must hold wheels for, at least.
EXPECTED = os.environ.get("TAVRIN_WHEEL_TAGS", f"cp311-cp311-{POLICY} pp39-pypy39_pp73-{POLICY}").split()

WHEELS = sorted(Path(os.environ.get("TAVRIN_WHEELHOUSE", "/nonexistent")).glob("*.whl"))


# The wheel's two extension modules: tavrin_puzzles and the companion's counting kernel.
MODULE_NAMES = [r"tavrin_puzzles\.[\w.-]+\.so", r"tavrin_estimate/_kernel\.[\w.-]+\.so"]


def extensions_of(wheel: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(wheel) as archive:
        return {name: archive.read(name) for name in archive.namelist() if name.endswith(".so")}


def needs_of(module: bytes) -> tuple[set[str], dict[str, set[str]]]:
    """The libraries a shared object needs, and the symbol versions it needs from each."""
    elf = ELFFile(io.BytesIO(module))
    libraries: set[str] = set()
    versions: dict[str, set[str]] = {}
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            libraries.update(tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED")
        elif isinstance(section, GNUVerNeedSection):
            for needed, auxiliaries in section.iter_versions():
                versions.setdefault(needed.name, set()).update(aux.name for aux in auxiliaries)
    return libraries, versions


def tags_of(wheel: Path) -> str:
    """The python, ABI and platform tags of a wheel's name, such as
    cp313-cp313t-manylinux_2_34_x86_64 (the ABI tells a free-threaded build's wheel apart)."""
    parts = wheel.name[: -len(".whl")].split("-")
    return "-".join(parts[2:5])


def test_wheels_were_built() -> None:
    """A wheel for each interpreter the stage builds for, at least."""
    assert set(EXPECTED) <= {tags_of(wheel) for wheel in WHEELS}, [wheel.name for wheel in WHEELS]


@pytest.mark.parametrize("wheel", WHEELS, ids=[wheel.name for wheel in WHEELS])
def test_wheel(wheel: Path) -> None:
    """Tagged with one policy alone, its modules need no C++ runtime and no C library newer than
    the policy, and it carries the stubs and the licence beside them."""
    platform = tags_of(wheel).split("-")[2]
    assert platform in {*MUSL_POLICIES, POLICY}, wheel.name
    modules = extensions_of(wheel)
    assert len(modules) == len(MODULE_NAMES), sorted(modules)
    assert all(any(re.fullmatch(pattern, name) for name in modules) for pattern in MODULE_NAMES), sorted(modules)

    for name, module in modules.items():
        libraries, versions = needs_of(module)
        if platform in MUSL_POLICIES:
            assert libraries == {MUSL_POLICIES[platform]}, (name, libraries)
            assert versions == {}, (name, versions)
        else:
            assert libraries <= SYSTEM_LIBRARIES, (name, libraries - SYSTEM_LIBRARIES)
            every_version = set().union(*versions.values())
            assert not {v for v in every_version if v.startswith(("GLIBCXX_", "CXXABI_"))}, (name, versions)
            glibc = [tuple(map(int, v.split("_")[1].split("."))) for v in every_version if v.startswith("GLIBC_")]
            assert max(glibc)[:2] <= POLICY_GLIBC, (name, sorted(every_version))

    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
    assert {"tavrin_puzzles-stubs/__init__.pyi", "tavrin_estimate/_kernel.pyi", "tavrin_estimate/result.schema.json"} <= names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), sorted(names)
