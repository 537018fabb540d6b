#pragma once
// Helpers for the bootloader download tests: byte patterns and texts for
// the board's side, which tests/support's pty pair plays.
#include "PtyPair.h"
#include "TempFolder.h"
#include "TestBytes.h"
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// n bytes of a pattern per seed, never containing '#' unless allowHash.
Bytes BodyPattern(std::size_t n, unsigned seed, bool allowHash = false);
Bytes Text(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);
