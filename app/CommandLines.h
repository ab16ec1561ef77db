// The command line before the window opens: --help and --version answer at
// once without a display, and each argument that is exactly "-" is read from
// standard input (one line each, in order), so that a launcher can hand over
// the password and the stream key without putting them in the process's
// arguments, which every local user can read.
#pragma once

#include <istream>
#include <string>
#include <vector>

enum class TCommandLineRequest { Run, Help, Version };

// Help or Version for a single "--help" or "--version"; Run for anything
// else (a single other argument still starts the window interactively).
TCommandLineRequest CommandLineRequest(const std::vector<std::string>& arguments);

// What --help prints.
std::string UsageText();

// What --version prints: "Tidecast " and the version, one line.
std::string VersionText(const std::string& version);

// Replaces each argument that is exactly "-" by the next line of `input`,
// without its line end (a carriage return before it goes too). False, with
// `error` saying which, when the input ends before every "-" has its line.
// With `restAreDestinations` (a room file on standard input) and a "-" among
// two or more arguments, each further non-empty line is one more argument:
// a further destination.
bool ReadStandardInputArguments(std::vector<std::string>& arguments, std::istream& input, std::string& error,
                                bool restAreDestinations = false);

// Standard input is a regular file (a room file, as the service unit gives
// it), which can be read to its end without waiting: never a pipe or a
// terminal, which a launcher may hold open.
bool StandardInputIsAFile();
