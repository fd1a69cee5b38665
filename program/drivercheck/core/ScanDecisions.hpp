// The decisions of the system driver scan that need no Windows: which
// drivers are judged, what the raw copy callback answers at each step, and
// how a verdict line is written.
#pragma once

#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/rawread/core/RawKinds.hpp"
#include "program/run/core/Console.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr uint32_t CompressedFileAttribute = 0x800;  // FILE_ATTRIBUTE_COMPRESSED
constexpr uint32_t SparseFileAttribute = 0x200;      // FILE_ATTRIBUTE_SPARSE_FILE
constexpr uint32_t CompressedVolumeFlag = 0x8000;    // FILE_VOLUME_IS_COMPRESSED

extern const char16_t* const CompressedFileWarning;   // "Warning: Compressed files are not supported!\n"
extern const char16_t* const CompressedVolumeWarning; // "Warning: Compressed volumes are not supported!\n"

// What the scan's callback answers for one step, and the warning it writes
// first (null for none).
struct RawCopyEventDecision {
    int32_t answer = 0;
    const char16_t* warning = nullptr;
};

// The facts the callback looks at: the step (a RawCopyStep, or any other
// value the engine might pass), the step's status, and, when
// the step carries them, the source's attributes (file step) or the
// volume's file-system flags (volume step). A failed step stops the copy,
// a compressed or sparse source and a compressed volume are refused with a
// warning, an unknown step is refused silently.
RawCopyEventDecision DecideRawCopyEvent(uint32_t step, int32_t status, uint32_t fileAttributes,
                                        uint32_t volumeFileSystemFlags);

// Drivers of this size or smaller are never judged.
constexpr uint32_t LargestUnjudgedDriverSize = 59392; // 0xE800
inline bool IsJudgedDriverSize(uint32_t size) { return size > LargestUnjudgedDriverSize; }

// Path buffers hold 260 wide characters, the terminator included.
constexpr std::size_t PathBufferCharacters = 260;
inline bool FitsPathBuffer(std::u16string_view path) { return path.size() < PathBufferCharacters; }

// The driver's name left-aligned in a field of 10 characters filled with
// blanks; a longer name stays whole.
std::u16string DriverNameField(std::u16string_view name);

// One verdict line: the name field, then "\t : Clean " and an end of line;
// or "\t : ", then "Infected !" in red or "Not verified" in yellow, an end
// of line, and the normal colour.
void WriteDriverVerdict(const ConsoleSink& console, std::u16string_view name, DriverVerdict verdict);
