// The data streams of a file as the file system lists them: a chain of
// FILE_STREAM_INFORMATION records in the bytes a stream query returned.
// Those bytes come from a file system that a rootkit may control, so every
// offset and length is checked against them before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Bytes the stream query may fill, and the working strings of the scan
// (1000 bytes: 499 UTF-16 characters and a terminator).
constexpr std::size_t StreamBufferSize = 1000;
constexpr std::size_t ScanPathMaxChars = 499;

// Layout of one FILE_STREAM_INFORMATION record.
constexpr std::size_t StreamRecordNextOffset = 0;     // uint32: bytes to the next record, 0 in the last
constexpr std::size_t StreamRecordNameLength = 4;     // uint32: bytes of the name
constexpr std::size_t StreamRecordNameOffset = 24;    // UTF-16 name, not terminated

// The type suffix of an ordinary data stream's name.
inline constexpr std::u16string_view DataStreamSuffix = u":$DATA";

// The names of the streams after the first record (the unnamed data
// stream), in chain order. The walk follows NextEntryOffset forward from
// the first record; it ends at the last record, or at the first record
// that does not lie wholly within `size` bytes, whose name does not fit its
// own record, or whose name length is odd.
std::vector<std::u16string> WalkStreamRecords(const uint8_t* data, std::size_t size);

// One stream to examine: the path that opens it and the name a process
// running from it would carry.
struct StreamCandidate {
    std::u16string streamPath;     // entry path followed by the stream's full name
    std::u16string candidateName;  // entry name, colon, stream name without ":$DATA"
};

// Builds the stream path and candidate name for one stream name. A name
// that does not end in ":$DATA" or holds a NUL, and a path or name that
// would not fit 499 characters, yield nothing.
std::optional<StreamCandidate> MakeStreamCandidate(std::u16string_view entryPath,
                                                   std::u16string_view entryName,
                                                   std::u16string_view streamName);

// The streams of one entry to examine, in record order.
std::vector<StreamCandidate> StreamCandidates(const uint8_t* data, std::size_t size,
                                              std::u16string_view entryPath,
                                              std::u16string_view entryName);

// Examines the streams of one entry in record order: a stream is opened
// and tested for an executable header, and only an executable one has its
// candidate name looked up among the running processes. The first stream
// that passes both gives the hidden image's name.
struct StreamTests {
    std::function<bool(const std::u16string& streamPath)> isExecutable;
    std::function<bool(const std::u16string& candidateName)> isProcessRunning;
};
std::optional<std::u16string> FindHiddenImage(const uint8_t* data, std::size_t size,
                                              std::u16string_view entryPath, std::u16string_view entryName,
                                              const StreamTests& tests);

// The path of a Windows-directory entry ("%ws\%ws"), or nothing when it
// would not fit 499 characters.
std::optional<std::u16string> ScanEntryPath(std::u16string_view windowsDirectory,
                                            std::u16string_view entryName);

// True for the directory entries "." and "..", compared as whole strings.
bool IsDotEntry(std::u16string_view name);

// The executable test of a stream's first bytes: the read succeeded, the
// stream is not empty and the first two bytes read are "MZ".
bool LooksExecutable(bool readSucceeded, uint32_t streamSize, const uint8_t* bytes,
                     std::size_t bytesRead);
