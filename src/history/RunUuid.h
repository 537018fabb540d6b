#pragma once
// Run ids: random (version 4) UUIDs in their canonical lower-case text,
// made when a run starts so that every copy of its record shares one key.
#include <string>

std::string NewRunUuid();
// 8-4-4-4-12 lower-case hexadecimal digits.
bool IsRunUuid(const std::string& text);
