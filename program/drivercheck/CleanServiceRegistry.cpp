// Service registry cleanup. Not built yet: deletes nothing.

#include "program/run/RemovalContext.hpp"

void RemovalContext::CleanServiceRegistry(const std::wstring&)
{
}
