// Rootkit folder removal. Not built yet: removes nothing.

#include "program/run/RemovalContext.hpp"

void RemovalContext::RemoveRootkitFolder()
{
}
