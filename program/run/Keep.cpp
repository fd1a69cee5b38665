// What the repair removes is kept before it is removed: in the run's
// quarantine under the Windows directory, inert, with a manifest that says
// what each object was, what was done with it and why.

#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"

namespace {

// The memory inspection's verdict in the words of the manifest's header.
const char16_t* VerdictText(int32_t outcome)
{
    switch (outcome) {
    case Infected:
        return u"Infected By QuorVallin (the disk driver's create routine altered; the rootkit's device absent)";
    case InfectedAds:
        return u"Infected By QuorVallin (the disk driver's initialization routine altered; the rootkit's device "
               u"present: the variant that hides its executable in a data stream)";
    case Clean:
        return u"Clean";
    default:
        return u"not inspected (the memory inspection could not be made)";
    }
}

// The quarantine with the verdict that holds now: an interrupted
// replacement is finished before the memory inspection, the repair after it.
RunQuarantine& Prepared(RemovalContext& context)
{
    context.quarantine.memoryVerdict = VerdictText(context.memoryOutcome);
    return context.quarantine;
}

} // namespace

bool RemovalContext::RemoveKeepingCopy(const std::wstring& path, const std::string& action, const std::string& reason)
{
    // A copy that cannot be kept (the disk is full, say) is said on the
    // console, and the removal goes on: the rootkit's files must go.
    QuarantineFile(Prepared(*this), path, action, reason, StandardConsole());
    return DeleteFileW(path.c_str()) != FALSE;
}

bool RemovalContext::RemoveInfectedDriverKeepingCopy(const std::wstring& asidePath, const std::wstring& driverPath,
                                                     const std::string& reason)
{
    const std::string action = "set aside and replaced by the clean copy";
    const std::optional<std::wstring> raw = RawCopyIntoWorkFolder(asidePath, L"infected-driver.raw");
    if (raw) {
        QuarantineFileContent(Prepared(*this), driverPath, *raw, action,
                              reason + "; the bytes kept were read from the disk's clusters", StandardConsole());
        DeleteFileW(raw->c_str());
    } else {
        QuarantineFileContent(Prepared(*this), driverPath, asidePath, action,
                              reason + "; no raw copy could be made, so the bytes kept are those the file system "
                                       "served, which may be the clean content",
                              StandardConsole());
    }
    return DeleteFileW(asidePath.c_str()) != FALSE;
}

void RemovalContext::KeepCopy(const std::wstring& path, const std::string& action, const std::string& reason)
{
    QuarantineFile(Prepared(*this), path, action, reason, StandardConsole());
}

void RemovalContext::KeepKeyCopy(const std::wstring& subkey, const std::string& reason)
{
    QuarantineRegistryKey(Prepared(*this), subkey, "deleted by the repair (a key that still has subkeys stays)",
                          reason, StandardConsole());
}

std::u16string RemovalContext::QuarantineFolder() const
{
    return quarantine.stored != 0 ? ToU16(quarantine.folder) : std::u16string();
}
