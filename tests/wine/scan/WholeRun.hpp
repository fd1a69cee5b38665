// Helpers for whole-run tests: the run's own sequence with the program's
// real phases in a real prefix, substituting only what Wine cannot show or
// must not do:
//   - the memory outcome: Wine's kernel has no disk driver to inspect, so
//     a reply that the helper driver gives on a real machine is judged in
//     place of the device conversation (the helper driver is still really
//     deployed, started, stopped and removed);
//   - the raw copy (this binary's substitute engine);
//   - the restart request, which would end the Wine session.
#pragma once

#include "driver/HijackProtocol.h"
#include "program/deploy/core/HijackVerdict.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/WinConsole.hpp"

#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace wholerun {

// A reply of the given type whose code bytes are the signature, any byte
// where the signature accepts any; all zero code bytes for no signature.
inline std::vector<uint8_t> Reply(uint32_t type, const char* signature)
{
    std::vector<uint8_t> reply(HIJACK_REPLY_SIZE, 0);
    const std::string text = signature != nullptr ? signature : "";
    for (std::size_t i = 0; i + 1 < text.size() && i / 2 < HIJACK_SIG_SIZE; i += 2) {
        const std::string pair = text.substr(i, 2);
        reply[i / 2] = pair == "??" ? 0xCC : static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
    }
    std::memcpy(reply.data() + 56, &type, sizeof(type));
    return reply;
}

// Positions of the pieces in the transcript, each after the one before;
// npos from the first piece not found in order.
inline std::vector<std::size_t> FindInOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    std::vector<std::size_t> at;
    std::size_t from = 0;
    for (const std::string& piece : pieces) {
        const std::size_t found = from == std::string::npos ? std::string::npos : text.find(piece, from);
        at.push_back(found);
        from = found == std::string::npos ? std::string::npos : found + piece.size();
    }
    return at;
}

// Records the phase's name in `calls` each time the run calls it.
template <typename Result, typename... Args>
void Logged(std::function<Result(Args...)>& phase, const std::string& name, std::vector<std::string>& calls)
{
    phase = [inner = phase, name, &calls](Args... args) {
        calls.push_back(name);
        return inner(args...);
    };
}

// The program's own phases for `context`, with the memory inspection
// judging `reply` and the restart request answered true.
inline RunPhases SubstitutedPhases(RemovalContext& context, std::vector<uint8_t> reply)
{
    RunPhases phases = ProgramPhases(context);
    phases.inspectSystemMemory = [&context, reply] {
        const HijackVerdict verdict = EvaluateHijackReply(reply.data(), reply.size());
        WriteScript(verdict.script);
        return context.memoryOutcome = verdict.outcome;
    };
    phases.restartWindows = [] { return true; };
    return phases;
}

// Logs every phase that acts on the machine under its name (the two
// substituted ones say so).
inline void LogPhases(RunPhases& phases, std::vector<std::string>& calls)
{
    Logged(phases.completeInterruptedReplacement, "journal", calls);
    Logged(phases.extractDriver, "extract", calls);
    Logged(phases.installAndStartDriver, "install", calls);
    Logged(phases.inspectSystemMemory, "inspect (substituted)", calls);
    Logged(phases.stopAndDeleteDriver, "stop", calls);
    Logged(phases.scanSystemDrivers, "scan", calls);
    Logged(phases.askRestartConsent, "ask", calls);
    Logged(phases.scanWindowsDirectoryStreams, "streams", calls);
    Logged(phases.removeRootkitFolder, "folder", calls);
    Logged(phases.replaceInfectedDriver, "replace", calls);
    Logged(phases.verifyReplacedDriver, "verify", calls);
    Logged(phases.cleanServiceRegistry, "registry", calls);
    Logged(phases.restartWindows, "restart (substituted)", calls);
    Logged(phases.deleteDriverFile, "delete driver file", calls);
}

struct RunOutcome {
    int exitCode = -1;
    std::string transcript; // everything written to standard output
};

// Runs the removal with `input` as standard input.
inline RunOutcome RunWithInput(const RunPhases& phases, const std::string& input)
{
    std::istringstream in(input);
    std::ostringstream out;
    std::streambuf* const savedIn = std::cin.rdbuf(in.rdbuf());
    std::streambuf* const savedOut = std::cout.rdbuf(out.rdbuf());
    std::cin.clear();
    RunOutcome outcome;
    outcome.exitCode = RunRemoval(phases, StandardConsole());
    std::cout.rdbuf(savedOut);
    std::cin.rdbuf(savedIn);
    std::cin.clear();
    outcome.transcript = out.str();
    return outcome;
}

} // namespace wholerun
