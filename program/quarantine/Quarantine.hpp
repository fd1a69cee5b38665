// The quarantine: nothing the repair removes is destroyed. Before the
// repair deletes or replaces a file, a data stream or a registry key, it
// stores the object's current bytes inert (QuarantineFile,
// QuarantineRegistryKey) in the run's folder under
// %SystemRoot%\KorvaleQuarantine, with an entry in the folder's manifest;
// RestoreQuarantine puts back what a run stored.
//
// The quarantine folder and each run's folder are made with an access list
// that lets SYSTEM and the Administrators alone in, protected from
// inheritance; an existing quarantine folder is used only when it is a
// real folder owned by SYSTEM, the Administrators or the running account
// that no other account may change.
#pragma once

#include "program/common/Handles.hpp"
#include "program/run/core/Console.hpp"
#include "program/run/core/RunSequence.hpp"

#include <string>
#include <string_view>

// One run's quarantine. The caller makes it empty, sets memoryVerdict before
// each object it stores, and keeps it for the run; it holds the folders open (so that neither can be
// renamed or replaced meanwhile) and the manifest, until it goes.
struct RunQuarantine {
    std::u16string memoryVerdict; // for the manifest entries of the objects stored next
    std::wstring folder;          // the run's folder, empty until the first object is stored
    bool failed = false;          // some object could not be stored
    unsigned stored = 0;          // objects stored, each with its manifest entry

    UniqueFile quarantineFolder;  // %SystemRoot%\KorvaleQuarantine
    UniqueFile runFolder;
    UniqueFile manifest;
    unsigned numbersGiven = 0;    // stored files named so far, stored or not
};

// Stores the current bytes of the file or data stream at `path` (a full
// path with a drive letter; "C:\WINDOWS\x.dll:y.exe" for a stream) inert in
// the run's quarantine, with its manifest entry; the original is not
// touched. Makes the run's folder on first use. `action` and `reason`
// (UTF-8) go into the entry as given. Writes nothing to the console when
// it succeeds; otherwise one line, "Warning: PATH could not be
// quarantined: WHY.", sets `failed`, and returns false.
bool QuarantineFile(RunQuarantine& quarantine, const std::wstring& path, std::string_view action,
                    std::string_view reason, const ConsoleSink& console);

// The same, with the bytes read from the file at `contentPath` in place of
// those at `path`: what was copied of the original by other means (a raw
// copy from the volume, when the file system may not serve the original's
// real content) is kept as the original at `path`.
bool QuarantineFileContent(RunQuarantine& quarantine, const std::wstring& path, const std::wstring& contentPath,
                           std::string_view action, std::string_view reason, const ConsoleSink& console);

// The same for the key tree at `subkey` under HKEY_LOCAL_MACHINE
// ("SYSTEM\ControlSet001\Services\xyz"): every value and every subkey, as a
// lossless text export; the entry names it "HKEY_LOCAL_MACHINE\<subkey>".
bool QuarantineRegistryKey(RunQuarantine& quarantine, const std::wstring& subkey, std::string_view action,
                           std::string_view reason, const ConsoleSink& console);

// What a restore may do beyond putting back what this computer kept.
struct RestoreChoice {
    bool overwrite = false; // "/overwrite": replace a file or key that now differs
    // "/foreign": restore a quarantine made on another computer, or kept
    // outside this computer's quarantine folder
    bool foreign = false;
};

// Puts back what the run's folder `folder` holds, verified by SHA-256 and
// MD5: files and streams to their paths, keys from their export. One line
// per object: "Restored: PATH", "Already in place: PATH", or "Not
// restored: PATH (WHY)"; a file or key that now differs is replaced only
// with `overwrite`. Only a folder of this computer's quarantine folder
// whose manifest names this computer is restored, unless `foreign`: SYSTEM
// and the Administrators are the same SIDs on every computer, so a folder
// that an administrator elsewhere prepared passes the owner and access
// list tests. Returns 0 when every object was restored or already in
// place, 4 when any was not, 5 (after "Nothing restored: WHY.") when the
// folder or its manifest cannot be used.
int RestoreQuarantine(const std::wstring& folder, const RestoreChoice& choice, const ConsoleSink& console);

// The run of "/restore:FOLDER [/overwrite] [/foreign]" on the standard
// console: the banner, the refusals of a removal run, then
// RestoreQuarantine; its exit code.
int RunRestoreSwitch(const RunPhases& phases, const std::u16string& folder, const RestoreChoice& choice);
