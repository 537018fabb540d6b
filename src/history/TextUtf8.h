// Texts for the records: UTF-8 as it is, other bytes read as Latin-1.
#pragma once

#include <string>

bool IsUtf8(const std::string& bytes);
std::string TextAsUtf8(const std::string& bytes);
