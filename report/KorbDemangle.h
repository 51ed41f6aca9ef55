#pragma once
// Linker symbols as the debug information names them.

#include <string>

// Turns a linker symbol into a readable name and its unit; "::" becomes ".".
void Demangle(std::string& name, std::string& unit);
