#include "program/drivercheck/core/ScanDecisions.hpp"

const char16_t* const CompressedFileWarning = u"Warning: Compressed files are not supported!\n";
const char16_t* const CompressedVolumeWarning = u"Warning: Compressed volumes are not supported!\n";

RawCopyEventDecision DecideRawCopyEvent(uint32_t step, int32_t status, uint32_t fileAttributes,
                                        uint32_t volumeFileSystemFlags)
{
    switch (step) {
    case StepSourceFile:
        if (status != 0 && (fileAttributes & (CompressedFileAttribute | SparseFileAttribute)) != 0)
            return {0, CompressedFileWarning};
        return {status, nullptr};
    case StepVolume:
        if (status != 0 && (volumeFileSystemFlags & CompressedVolumeFlag) != 0)
            return {0, CompressedVolumeWarning};
        return {status, nullptr};
    case StepClusterRuns:
    case StepResidentData:
    case StepDestination:
    case StepResidentWrite:
    case StepProgress:
        return {status, nullptr};
    default:
        return {0, nullptr};
    }
}

std::u16string DriverNameField(std::u16string_view name)
{
    std::u16string field(name);
    if (field.size() < 10)
        field.append(10 - field.size(), u' ');
    return field;
}

void WriteDriverVerdict(const ConsoleSink& console, std::u16string_view name, DriverVerdict verdict)
{
    console.writeWide(DriverNameField(name));
    if (verdict == DriverVerdict::Clean) {
        console.writeWide(u"\t : Clean \n");
        return;
    }
    console.writeWide(u"\t : ");
    if (verdict == DriverVerdict::Infected) {
        console.colour(ColourInfected);
        console.writeWide(u"Infected !\n");
    } else {
        console.colour(ColourNotVerified);
        console.writeWide(u"Not verified\n");
    }
    console.colour(ColourNormal);
}
