// Writes the seeds of the fuzz targets whose inputs are not file-system
// answers: helper-driver replies that carry each code signature (and the
// other reply types), control requests as the program sends them, and the
// data-stream chains of a file with a hidden executable. The file-system
// answers come from the image tests (scripts/make-fuzz-seeds.sh).
//   fuzz_seeds OUTPUT_FOLDER

#include "driver/HijackProtocol.h"
#include "program/deploy/core/Signature.hpp"
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
    return 0;
}
