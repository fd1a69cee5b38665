#!/usr/bin/env python3
"""Checks the two built binaries with an independent PE reader (pefile):
the driver resource, icon and manifest of the program, the program's import
table against the reviewed list, the OS and subsystem versions of both, and
the driver's subsystem, imports, relocations and checksum. The driver's code
that reads an imported variable is checked in its disassembly
(i686-w64-mingw32-objdump).

    check_binaries.py BUILD_DIR              check
    check_binaries.py --print-imports BUILD_DIR   print the program's imports in list form
"""

import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
IMPORT_LIST = os.path.join(HERE, "exe-imports.txt")

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
IMAGE_FILE_MACHINE_I386 = 0x14C
SUBSYSTEM_NATIVE, SUBSYSTEM_CONSOLE = 1, 3

failures = []
passes = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    (passes if condition else failures).append(what)


def imports_of(pe):
    entries = set()
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for imp in dll.imports:
            name = imp.name.decode() if imp.name else f"#{imp.ordinal}"
            entries.add(f"{dll.dll.decode().lower()}!{name}")
    return entries


def resource_entries(pe):
    """(type, id, language) -> bytes, where type is an int or a name."""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        rtype = str(type_entry.name) if type_entry.name is not None else type_entry.id
        for id_entry in type_entry.directory.entries:
            rid = str(id_entry.name) if id_entry.name is not None else id_entry.id
            for lang_entry in id_entry.directory.entries:
                data = lang_entry.data.struct
                found[(rtype, rid, lang_entry.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def reviewed_imports():
    with open(IMPORT_LIST) as f:
        return {line.strip() for line in f if line.strip() and not line.startswith("#")}


def check_image_version(pe, who):
    """Both binaries declare Windows XP, 5.1, as their OS and subsystem version:
    no higher, or XP refuses to load them; and for the driver not the
    linker's default 4.0, which marks an NT 4 driver whose code the kernel
    leaves writable."""
    header = pe.OPTIONAL_HEADER
    for field, version in (("OS", (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)),
                           ("subsystem", (header.MajorSubsystemVersion, header.MinorSubsystemVersion))):
        check(version == (5, 1), f"{who}: {field} version {version[0]}.{version[1]} is 5.1")


def check_program(exe_path, sys_bytes):
    pe = pefile.PE(exe_path)
    check(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_I386, "program: 32-bit x86 image")
    check(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_CONSOLE, "program: console subsystem")
    check_image_version(pe, "program")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "program: no link timestamp")

    resources = resource_entries(pe)
    driver = resources.get(("RT_RCDATA", 101, 1033))
    check(driver is not None, 'program: resource of named type "RT_RCDATA", ID 101, language 1033')
    check(driver == sys_bytes, "program: the resource holds the built driver byte for byte")
    check(not any(k[0] == 10 for k in resources), "program: no resource of the numeric type RT_RCDATA")
    check(any(k[0] == RT_GROUP_ICON and k[1] == 105 for k in resources), "program: icon group 105")
    check(any(k[0] == RT_ICON for k in resources), "program: the icon's image")

    manifests = [v for k, v in resources.items() if k[0] == RT_MANIFEST and k[1] == 1]
    check(len(manifests) == 1, "program: one manifest, ID 1")
    if manifests:
        root = ET.fromstring(manifests[0])
        levels = [e for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
        check(len(levels) == 1 and levels[0].get("level") == "highestAvailable"
              and levels[0].get("uiAccess") == "false",
              'program: manifest asks level "highestAvailable", uiAccess "false"')

    actual, reviewed = imports_of(pe), reviewed_imports()
    unreviewed, unused = sorted(actual - reviewed), sorted(reviewed - actual)
    check(not unreviewed, f"program: every import is on the reviewed list {unreviewed}")
    check(not unused, f"program: the reviewed list holds no import the program lacks {unused}")


def check_driver(sys_path):
    pe = pefile.PE(sys_path)
    check(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_I386, "driver: 32-bit x86 image")
    check(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_NATIVE, "driver: native subsystem")
    check_image_version(pe, "driver")
    dlls = {e.split("!")[0] for e in imports_of(pe)}
    check(dlls == {"ntoskrnl.exe"}, f"driver: imports from ntoskrnl.exe only {sorted(dlls)}")
    relocations = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    check(len(relocations) > 0, "driver: base relocations present")
    check(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
          f"driver: checksum {pe.OPTIONAL_HEADER.CheckSum:#x} is correct")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "driver: no link timestamp")
    check(pe.OPTIONAL_HEADER.AddressOfEntryPoint != 0, "driver: has an entry point")
    check_driver_object_type(sys_path, pe)


OBJDUMP = "i686-w64-mingw32-objdump"
REGISTER = r"%e(?:ax|bx|cx|dx|si|di|bp)"


def imported_variable_uses(sys_path, slot):
    """How many loads each use of an imported variable's value sits behind.

    The import slot at address `slot` holds the address of the kernel's
    variable: loading the slot gives that address (0 loads past the slot),
    reading through it gives the variable's value (1), reading once more
    gives whatever the value points to (2). From every load of the slot the
    loaded register is followed, instruction by instruction, until its value
    leaves: stored to the stack or pushed (an argument), or returned. The
    result is the list of levels at which values left, or None when the
    slot is used in a way this reader does not follow."""
    listing = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", sys_path], check=True,
                             capture_output=True, text=True).stdout
    lines = [l.split("\t", 1)[1].strip() for l in listing.splitlines() if re.match(r"^\s+[0-9a-f]+:\t", l)]
    slot_text = f"{slot:#x}"
    uses = []
    for index, line in enumerate(lines):
        if slot_text not in line:
            continue
        load = re.fullmatch(rf"mov\s+{slot_text},({REGISTER})", line)
        if load is None:
            return None
        levels = {load.group(1): 0}
        left = False
        for following in lines[index + 1:index + 40]:
            op, _, operands = following.partition(" ")
            operands = operands.strip()
            if op in ("ret", "call", "jmp") or op.startswith("j"):
                if op == "ret" and "%eax" in levels:
                    uses.append(levels["%eax"])
                    left = True
                break
            source, _, target = operands.rpartition(",")
            deref = re.fullmatch(rf"\(({REGISTER})\)", source)
            if op == "push" and re.fullmatch(rf"\(({REGISTER})\)", operands):
                register = operands[1:-1]
                if register in levels:
                    uses.append(levels[register] + 1)
                    left = True
                continue
            if op == "push" and operands in levels:
                uses.append(levels[operands])
                left = True
                continue
            if op == "mov" and source in levels and re.fullmatch(r"(?:0x[0-9a-f]+)?\(%esp\)", target):
                uses.append(levels[source])
                left = True
                continue
            if op == "mov" and deref and deref.group(1) in levels and re.fullmatch(REGISTER, target):
                levels[target] = levels[deref.group(1)] + 1
                continue
            if op == "mov" and source in levels and re.fullmatch(REGISTER, target):
                levels[target] = levels[source]
                continue
            if re.fullmatch(REGISTER, target) and target in levels:
                del levels[target]  # overwritten by something else
            if not levels:
                break
        if not left:
            return None
    return uses


def check_driver_object_type(sys_path, pe):
    slots = [imp.address for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for imp in dll.imports
             if imp.name == b"IoDriverObjectType"]
    check(len(slots) == 1, "driver: imports the variable IoDriverObjectType")
    if len(slots) != 1:
        return
    uses = imported_variable_uses(sys_path, slots[0])
    check(uses is not None and len(uses) > 0 and all(level == 1 for level in uses),
          f"driver: IoDriverObjectType's value is passed, read once through the import slot (levels {uses})")


def main(argv):
    if len(argv) == 3 and argv[1] == "--print-imports":
        for entry in sorted(imports_of(pefile.PE(os.path.join(argv[2], "KorvaleNoQuorVallin.exe")))):
            print(entry)
        return 0
    build = argv[1]
    sys_path = os.path.join(build, "KorvaleNoQuorVallin.sys")
    with open(sys_path, "rb") as f:
        sys_bytes = f.read()
    check_driver(sys_path)
    check_program(os.path.join(build, "KorvaleNoQuorVallin.exe"), sys_bytes)
    print(f"pe: {len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
