// System driver scan. Not built yet: finds no infected driver.

#include "program/run/RemovalContext.hpp"

bool RemovalContext::ScanSystemDrivers()
{
    return false;
}
