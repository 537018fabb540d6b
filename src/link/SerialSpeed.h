#pragma once
// Line speed as a plain number of baud, for any rate the driver accepts.
// Kept apart from CommPort.cpp because the kernel's termios2 header clashes
// with the C library's <termios.h>.

// Sets both directions to exactly baud (BOTHER). Returns 0 or an errno value.
int SetExactLineSpeed(int fd, unsigned baud);

// The output and input speed the driver reports now. Returns 0 or an errno value.
int ReadLineSpeed(int fd, unsigned& outBaud, unsigned& inBaud);
