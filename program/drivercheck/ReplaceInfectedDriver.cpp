// Infected driver replacement. Not built yet: replaces nothing.

#include "program/run/RemovalContext.hpp"

bool RemovalContext::ReplaceInfectedDriver()
{
    return false;
}
