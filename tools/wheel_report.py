"""What the extension modules of a built wheel need and offer, read from their
ELF files (pyelftools, which auditwheel brings), for any architecture:

    wheel_report.py glibc WHEEL              the newest GLIBC_x.y symbol version any module needs
    wheel_report.py check WHEEL LIBPYTHON    the modules are built for the wheel's architecture,
                                             export their PyInit_ function alone, and every
                                             interpreter function they call is one that LIBPYTHON
                                             (the same Python version, any architecture) defines

`check` is what can be known of a wheel without an interpreter of its
architecture: a module that calls a function its Python lacks fails to
import, and one built for another processor fails to load.
"""

from __future__ import annotations

import io
import re
import sys
import zipfile
from collections.abc import Iterator

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}


def modules(wheel: str) -> Iterator[tuple[str, ELFFile]]:
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            if name.endswith(".so") and ".libs/" not in name:
                yield name, ELFFile(io.BytesIO(archive.read(name)))


def needed_versions(elf: ELFFile) -> set[str]:
    versions = set()
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                versions.update(aux.name for aux in auxiliaries)
    return versions


def dynamic_symbols(elf: ELFFile) -> tuple[set[str], set[str]]:
    """(defined, undefined) names of the dynamic symbol table, globals and weaks only."""
    defined, undefined = set(), set()
    table = elf.get_section_by_name(".dynsym")
    for symbol in table.iter_symbols():
        if not symbol.name or symbol["st_info"]["bind"] == "STB_LOCAL":
            continue
        (undefined if symbol["st_shndx"] == "SHN_UNDEF" else defined).add(symbol.name)
    return defined, undefined


def glibc(wheel: str) -> str:
    newest = (0, 0)
    for _, elf in modules(wheel):
        for version in needed_versions(elf):
            match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
            if match:
                newest = max(newest, (int(match.group(1)), int(match.group(2))))
    return f"{newest[0]}.{newest[1]}"


def check(wheel: str, libpython: str) -> list[str]:
    arch = re.search(r"_(x86_64|aarch64)\.whl$", wheel).group(1)
    with open(libpython, "rb") as file:
        python_defines, _ = dynamic_symbols(ELFFile(file))
    faults = []
    found = 0
    for name, elf in modules(wheel):
        found += 1
        if elf["e_machine"] != MACHINES[arch]:
            faults.append(f"{name}: built for {elf['e_machine']}, not {arch}")
        defined, undefined = dynamic_symbols(elf)
        init = "PyInit_" + name.rsplit("/", 1)[-1].split(".", 1)[0]
        if defined != {init}:
            faults.append(f"{name}: exports {sorted(defined)[:8]}, not {init} alone")
        missing = sorted(s for s in undefined if s.startswith(("Py", "_Py")) and s not in python_defines)
        if missing:
            faults.append(f"{name}: calls what {libpython} lacks: {missing[:8]}")
    if found != 2:
        faults.append(f"{found} extension modules, not 2")
    return faults


def main() -> int:
    command, wheel, *rest = sys.argv[1:]
    if command == "glibc":
        print(glibc(wheel))
        return 0
    faults = check(wheel, rest[0])
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
