#pragma once
// Subcommands of velunda-pack; each takes its own arguments (argv[0] is the
// subcommand name) and returns the process exit code: 0 done, 1 the input or
// the output failed, 2 bad usage.

int RunDat(int argc, char** argv);
int RunQvp(int argc, char** argv);
int RunKeygen(int argc, char** argv);
int RunSign(int argc, char** argv);
