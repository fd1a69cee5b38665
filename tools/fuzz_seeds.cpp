// Writes the seeds of the fuzz targets whose inputs are not file-system
// answers: helper-driver replies that carry each code signature (and the
// other reply types), control requests as the program sends them, the
// data-stream chains of a file with a hidden executable, and the quarantine's
// manifests and registry exports as its writers make them. The file-system
// answers come from the image tests (scripts/make-fuzz-seeds.sh).
//   fuzz_seeds OUTPUT_FOLDER

#include "driver/HijackProtocol.h"
#include "program/deploy/core/Signature.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/quarantine/core/RegistryExport.hpp"
#include "tests/native/StreamRecordBytes.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
std::filesystem::path root;

void Save(const std::string& target, const std::string& name, const Bytes& bytes)
{
    std::filesystem::create_directories(root / target);
    std::ofstream out(root / target / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The code bytes a signature describes, with 0 for every "??".
Bytes CodeOf(const char* signature)
{
    Bytes code;
    for (std::size_t i = 0; signature[i] != '\0' && signature[i + 1] != '\0'; i += 2) {
        const std::string pair(signature + i, 2);
        code.push_back(pair == "??" ? 0 : static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return code;
}

Bytes Reply(const Bytes& code, uint32_t type)
{
    HIJACK_REPLY reply{};
    std::memcpy(reply.SigBuff, code.data(), std::min<std::size_t>(code.size(), HIJACK_SIG_SIZE));
    reply.AdsType = type;
    const auto* raw = reinterpret_cast<const uint8_t*>(&reply);
    return Bytes(raw, raw + sizeof reply);
}

// The request target's input: output length, flags (bit 0 data-stream
// variant, bit 1 routine found), then the request and the routine's code.
Bytes Request(uint8_t flags, const char* text, std::size_t textBytes, const Bytes& code)
{
    Bytes input{static_cast<uint8_t>(HIJACK_REPLY_SIZE), flags};
    input.insert(input.end(), text, text + textBytes);
    input.insert(input.end(), code.begin(), code.end());
    return input;
}

void SaveText(const std::string& target, const std::string& name, const std::string& text)
{
    Save(target, name, Bytes(text.begin(), text.end()));
}

Bytes Utf16(std::u16string_view text)
{
    Bytes bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

// A repair's manifest (the infected driver, the rootkit's file, its stream
// and its service key), one that lists nothing, and one of hostile names.
void SaveManifests()
{
    const ManifestHeader header{u"2026-12-10T11:40:05Z", u"PC-0417", u"S-1-5-21-1004336348-1177238915-682003330",
                                u"v1.0"};
    const std::u16string infected = u"Infected By QuorVallin!";
    const std::string sha256(64, 'e'), md5 = "d41d8cd98f00b204e9800998ecf8427e";
    const ManifestEntry repair[] = {
        {QuarantineKind::File, u"C:\\WINDOWS\\system32\\drivers\\atapi.sys", u"001-atapi.sys.quarantine", 95360,
         sha256, md5, u"replaced with a clean copy",
         u"raw copy MD5 0cc175b9c0f1b6a831c399e269772661 differs from 900150983cd24fb0d6963f7d28e17f72; memory infected",
         infected},
        {QuarantineKind::File, u"C:\\WINDOWS\\$NtUninstallKB2946$\\@", u"002-_.quarantine", 4096, sha256, md5,
         u"deleted with its folder", u"the rootkit's folder", infected},
        {QuarantineKind::DataStream, u"C:\\WINDOWS\\explorer.exe:svchost.exe", u"003-explorer.exe_svchost.exe.quarantine",
         12288, sha256, md5, u"deleted", u"an executable hidden in a data stream", infected},
        {QuarantineKind::RegistryKey, u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\svchost",
         u"004-svchost.key.quarantine", 702, sha256, md5, u"deleted", u"its ImagePath names the hidden image",
         infected},
    };
    std::string text = ManifestHeaderText(header);
    SaveText("quarantine_manifest_fuzz", "header-only", text);
    for (unsigned i = 0; i < 4; ++i)
        text += ManifestEntryText(repair[i], i + 1);
    SaveText("quarantine_manifest_fuzz", "repair", text);

    const ManifestHeader odd{u"2026-12-10T11:40:05Z", u"PC-\u00e9\u4e2d", u"", u"v1.0"};
    const ManifestEntry hostile{QuarantineKind::RegistryKey,
                                u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\a%b\r\n\xD800",
                                u"001-a_b___.key.quarantine", 0, sha256, md5, u"deleted", u"100%",
                                u"Error\r\nwhile scanning"};
    SaveText("quarantine_manifest_fuzz", "hostile-names", ManifestHeaderText(odd) + ManifestEntryText(hostile, 1));
}

// The service key of a hidden image, a bare key, and one of hostile names.
void SaveRegistryExports()
{
    RegistryExport service;
    service.root = u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\svchost";
    service.keys = {
        {u"",
         {{u"Type", 4, {0x10, 0, 0, 0}},
          {u"Start", 4, {2, 0, 0, 0}},
          {u"ErrorControl", 4, {0, 0, 0, 0}},
          {u"ImagePath", 2, Utf16(std::u16string(u"C:\\WINDOWS\\explorer.exe:svchost.exe\0", 36))},
          {u"DisplayName", 1, Utf16(std::u16string(u"svchost\0", 8))},
          {u"DependOnService", 7, Utf16(std::u16string(u"Tcpip\0\0", 7))}}},
        {u"Enum", {{u"0", 1, Utf16(std::u16string(u"Root\\LEGACY_SVCHOST\\0000\0", 25))}, {u"Count", 4, {1, 0, 0, 0}}}},
        {u"Security", {{u"Security", 3, Bytes(20, 0x01)}}},
    };
    SaveText("registry_export_fuzz", "service-key", WriteRegistryExport(service));

    RegistryExport bare;
    bare.root = u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\x";
    bare.keys = {{u"", {}}};
    SaveText("registry_export_fuzz", "bare-key", WriteRegistryExport(bare));

    RegistryExport hostile;
    hostile.root = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\a\r\nb";
    hostile.keys = {{u"", {{u"", 0xFFFFFFFFu, {}}, {std::u16string(u"nul\0name", 8), 1, {0x41}}}},
                    {u"%25\xDC00", {}},
                    {u"%25\xDC00\\deeper", {{u"Key: x", 3, {0x0D, 0x0A}}}}};
    SaveText("registry_export_fuzz", "hostile-names", WriteRegistryExport(hostile));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTPUT_FOLDER\n");
        return 2;
    }
    root = argv[1];
    const Bytes driverInit = CodeOf(DriverInitSignature);
    const Bytes createDispatch = CodeOf(CreateDispatchSignature);

    Save("hijack_reply_fuzz", "driver-init-type1", Reply(driverInit, HIJACK_TYPE_ADS));
    Save("hijack_reply_fuzz", "create-dispatch-type0", Reply(createDispatch, HIJACK_TYPE_PLAIN));
    Save("hijack_reply_fuzz", "not-found-type3", Reply({}, HIJACK_TYPE_NOT_FOUND));
    Save("hijack_reply_fuzz", "short-reply", Bytes(HIJACK_REQUEST_TEXT, HIJACK_REQUEST_TEXT + HIJACK_REQUEST_SIZE));

    for (uint8_t flags = 0; flags < 4; ++flags)
        Save("hijack_request_fuzz", "start-flags" + std::to_string(flags),
             Request(flags, HIJACK_REQUEST_TEXT, HIJACK_REQUEST_SIZE, flags & 1 ? driverInit : createDispatch));
    Save("hijack_request_fuzz", "start-without-code", Request(2, HIJACK_REQUEST_TEXT, HIJACK_REQUEST_SIZE, {}));
    Save("hijack_request_fuzz", "other-request", Request(0, "Stop Hijack!", 13, {}));

    const std::vector<std::vector<std::u16string>> chains = {
        {u"::$DATA", u":svchost.exe:$DATA"},
        {u"::$DATA", u":a.exe:$DATA", u":b:$OTHER", u":c.exe:$DATA"},
        {u"::$DATA", u":Zone.Identifier:$DATA"},
        {u"::$DATA"},
    };
    for (std::size_t i = 0; i < chains.size(); ++i)
        Save("stream_records_fuzz", "chain" + std::to_string(i), streambytes::MakeChain(chains[i]).bytes);

    SaveManifests();
    SaveRegistryExports();
    return 0;
}
