// Windows-directory stream scan. Not built yet: finds nothing.

#include "program/run/RemovalContext.hpp"

void RemovalContext::ScanWindowsDirectoryStreams(const wchar_t*)
{
}
