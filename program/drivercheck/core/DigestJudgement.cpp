#include "program/drivercheck/core/DigestJudgement.hpp"

#include <cstring>

DriverVerdict JudgeDriver(bool rawCopyOk, bool rawOk, const char* rawText, bool plainOk, const char* plainText)
{
    if (!rawCopyOk || !rawOk || !plainOk || rawText == nullptr || plainText == nullptr)
        return DriverVerdict::NotVerified;
    return std::memcmp(rawText, plainText, DigestTextBytes) == 0 ? DriverVerdict::Clean : DriverVerdict::Infected;
}
