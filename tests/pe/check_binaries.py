#!/usr/bin/env python3
"""Checks the two built binaries with an independent PE reader (pefile):
the driver resource, icon and manifest of the program, the program's import
table against the reviewed list, and the driver's subsystem, imports,
relocations and checksum.

    check_binaries.py BUILD_DIR              check
    check_binaries.py --print-imports BUILD_DIR   print the program's imports in list form
"""

import os
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


def check_program(exe_path, sys_bytes):
    pe = pefile.PE(exe_path)
    check(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_I386, "program: 32-bit x86 image")
    check(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_CONSOLE, "program: console subsystem")
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    check(version <= (5, 1), f"program: subsystem version {version} loads on Windows XP")
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
    dlls = {e.split("!")[0] for e in imports_of(pe)}
    check(dlls == {"ntoskrnl.exe"}, f"driver: imports from ntoskrnl.exe only {sorted(dlls)}")
    relocations = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    check(len(relocations) > 0, "driver: base relocations present")
    check(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
          f"driver: checksum {pe.OPTIONAL_HEADER.CheckSum:#x} is correct")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "driver: no link timestamp")
    check(pe.OPTIONAL_HEADER.AddressOfEntryPoint != 0, "driver: has an entry point")


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
