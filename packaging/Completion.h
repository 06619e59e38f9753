// Shell completion scripts made from a program's command-line description:
// option names, and the values of options that take a file, a folder or
// one of a fixed few.
#pragma once

#include "CommandLineDoc.h"

#include <string>

std::string BashCompletion(const CommandLineDoc& doc);
std::string ZshCompletion(const CommandLineDoc& doc);
