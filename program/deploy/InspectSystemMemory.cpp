// Memory inspection. Not built yet: reports that no scan took place.

#include "program/run/RemovalContext.hpp"

int32_t RemovalContext::InspectSystemMemory()
{
    return ScanError;
}
