// The command-line options every program answers before anything else: "--help" and
// "--version" print to the standard output and end the program with 0.
#pragma once

// Ends the program when argv holds one of those options; returns otherwise. The program's name
// is taken from argv[0].
void AnswerInformationOptions(int argc, char **argv);
