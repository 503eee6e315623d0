// Helpers of the database field cipher that live beside the build secrets.
// The Ploader methods of the cipher are declared in loader/loader.h.
#pragma once

#include <string>

// Length of every key, IV and chain value of the field cipher.
constexpr size_t kFieldKeyLength = 16;

// The IV used for database values while no IV file can be had.
std::string db_fallback_iv();

// Where the enciphered installation IV is kept: <panel>/data/div.pl.
std::string db_iv_path();
